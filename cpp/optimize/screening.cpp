/// Screening of the stock pool against the instrument records of the market-data client.
#include "optimize/input.hpp"

namespace velquor::optimize::input {

namespace {

constexpr const char *NOT_DELISTED = "0000-00-00";

/// One dropped record, reported as the Python function would: OptimizerWarning at stack level 3 (this
/// function, portfolio_optimize, the caller of portfolio_optimize).
void report_drop(const pyapi::Globals &m, const char *fmt, std::initializer_list<nb::handle> args) {
    pyapi::warn_as_python(m.attr("warnings"), m.attr("OptimizerWarning"), pyapi::format(fmt, args), 3);
}

bool greater(nb::handle a, nb::handle b) { return pyapi::truthy(pyapi::richcompare(a, b, pyapi::Cmp::gt)); }
bool equal(nb::handle a, nb::handle b) { return pyapi::truthy(pyapi::richcompare(a, b, pyapi::Cmp::eq)); }
bool not_equal(nb::handle a, nb::handle b) { return pyapi::truthy(pyapi::richcompare(a, b, pyapi::Cmp::ne)); }
bool less_equal(nb::handle a, nb::handle b) { return pyapi::truthy(pyapi::richcompare(a, b, pyapi::Cmp::le)); }

}  // namespace

nb::object ensure_order_book_ids(pyapi::Arguments &a) {
    auto m = self();
    nb::handle order_book_ids = a[at::order_book_ids];
    if (!pyapi::isinstance(order_book_ids, m.attr("Iterable"))) invalid(m, nb::str("order_book_ids 非法"));
    nb::object date = m.attr("ensure_date_str")(a[at::screening_date]);

    nb::object records = m.attr("zorvata").attr("instruments")(order_book_ids);
    // The client answers a single identifier with one record, and an unknown one with None: no record.
    if (records.is_none()) records = nb::list();
    else if (!nb::isinstance<nb::list>(records)) records = nb::make_tuple(records);

    nb::set accepted;
    nb::str cs("CS"), not_delisted(NOT_DELISTED);
    for (nb::handle record : records) {
        // A None inside the list is no record either: nothing to accept, nothing to report.
        if (record.is_none()) continue;
        nb::object order_book_id = record.attr("order_book_id");
        if (accepted.contains(order_book_id)) {
            // Default category and level: the warning belongs to the screening itself.
            nb::object text = pyapi::format("重复的 order_book_id: {}, 仅保留一个", {order_book_id});
            pyapi::warn_as_python(m.attr("warnings"), m.attr("UserWarning"), text, 1);
            continue;
        }
        if (not_equal(record.attr("type"), cs)) {
            report_drop(m, "{} 不是股票，被剔除", {order_book_id});
            continue;
        }
        nb::object listed = record.attr("listed_date");
        if (greater(listed, date)) {
            report_drop(m, "{} 在 {} 尚未上市，被剔除", {order_book_id, date});
            continue;
        }
        if (equal(listed, date)) {
            report_drop(m, "{} 在 {} 当天上市，被剔除", {order_book_id, date});
            continue;
        }
        nb::object de_listed = record.attr("de_listed_date");
        if (not_equal(de_listed, not_delisted) && less_equal(de_listed, date)) {
            report_drop(m, "{} 在 {} 时已退市，被剔除", {order_book_id, date});
            continue;
        }
        accepted.add(order_book_id);
    }

    // sorted(accepted)
    return pyapi::sorted(accepted);
}

}  // namespace velquor::optimize::input
