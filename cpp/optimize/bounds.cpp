/// Weight bounds: one bound value, and bound mappings as lower and upper arrays in pool order.
#include "optimize/input.hpp"

#include <cmath>

namespace velquor::optimize::input {

namespace {

/// True when `v` is a NaN (of any numeric type that converts to float). Compared as they are, NaN bounds pass
/// every range test (all comparisons are false) and reach the solver, which then fails obscurely or returns
/// garbage; the range tests reject them instead.
bool is_nan(nb::handle v) {
    if (nb::isinstance<nb::float_>(v)) return std::isnan(nb::cast<double>(v));
    if (nb::isinstance<nb::int_>(v)) return false;
    try {
        return std::isnan(nb::cast<double>(pyapi::to_float(v)));
    } catch (nb::python_error &e) {
        // Not convertible to a float: not a NaN; storing it into the array reports it later. Only the
        // conversion's own refusals are taken as that answer: MemoryError, interrupts and the like travel on.
        if (e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError)) return false;
        throw;
    }
}

bool lt(nb::handle a, nb::handle b) { return pyapi::truthy(pyapi::richcompare(a, b, pyapi::Cmp::lt)); }
bool gt(nb::handle a, nb::handle b) { return pyapi::truthy(pyapi::richcompare(a, b, pyapi::Cmp::gt)); }

/// `lower < 0 or lower > 1` (and NaN, see is_nan).
bool outside_unit(nb::handle v, nb::handle zero, nb::handle one) { return lt(v, zero) || gt(v, one) || is_nan(v); }

/// The three checks of one (lower, upper) pair, in this order: lower in [0, 1], upper in [0, 1], upper not
/// below lower; `key` is the identifier (or "*") the messages name.
void check_pair(const pyapi::Globals &m, nb::handle key, nb::handle lo, nb::handle up, nb::handle zero,
                nb::handle one) {
    if (outside_unit(lo, zero, one)) invalid(m, pyapi::format("合约 {} 的下限 {} 无效", {key, lo}));
    if (outside_unit(up, zero, one)) invalid(m, pyapi::format("合约 {} 的上限 {} 无效", {key, up}));
    if (lt(up, lo)) invalid(m, pyapi::format("合约 {} 的上限 {} 小于下限 {}", {key, up, lo}));
}

}  // namespace

nb::object ensure_bound(pyapi::Arguments &a) {
    nb::handle v = a[at::bound];
    if (v.is_none()) return nb::none();
    auto m = self();
    nb::object f;
    try {
        f = pyapi::to_float(v);  // float(v)
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_ValueError)) throw;
        pyapi::raise_in_handler(m.attr("InvalidArgument"), pyapi::format("约束的上限或下限非法: {}", {v}), error);
    }
    // A NaN limit constrains nothing and poisons the problem: rejected like an unreadable one.
    if (std::isnan(nb::cast<double>(f))) invalid(m, pyapi::format("约束的上限或下限非法: {}", {v}));
    return f;
}

nb::object parse_bnds(pyapi::Arguments &a) {
    auto m = self();
    nb::handle bnds = a[at::bnds], order_book_ids = a[at::bnds_pool];
    if (!pyapi::isinstance(bnds, m.attr("dict")))
        invalid(m, nb::str("bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)"));

    // The default pair is converted, then checked like a named stock's pair, "*" standing for the identifier:
    // unchecked, `{"*": (0, 5)}` (5 meant as 5%) or a negative floor would solve silently.
    std::vector<nb::object> pair = pyapi::unpack(bnds.attr("get")("*", nb::make_tuple(0.0, 1.0)), 2);
    nb::object lower = pyapi::to_float(pair[0]);
    nb::object upper = pyapi::to_float(pair[1]);
    nb::int_ zero(0), one(1);
    check_pair(m, nb::str("*"), lower, upper, zero, one);

    nb::object np = m.attr("np");
    size_t n = nb::len(order_book_ids);
    nb::object lower_bounds = np.attr("repeat")(lower, n);
    nb::object upper_bounds = np.attr("repeat")(upper, n);

    Py_ssize_t k = 0;
    for (nb::handle order_book_id : order_book_ids) {
        nb::object position = nb::int_(k++);
        try {
            // bnds[order_book_id]: a dict subclass's __missing__ is honoured.
            std::vector<nb::object> value = pyapi::unpack(pyapi::getitem(bnds, order_book_id), 2);
            nb::object lo = value[0].is_none() ? nb::object(zero) : value[0];
            nb::object up = value[1].is_none() ? nb::object(one) : value[1];
            check_pair(m, order_book_id, lo, up, zero, one);
            pyapi::setitem(lower_bounds, position, lo);
            pyapi::setitem(upper_bounds, position, up);
        } catch (nb::python_error &e) {
            // except KeyError: keep the default pair; except TypeError: not a (lower, upper) pair of numbers.
            if (e.matches(PyExc_KeyError)) continue;
            if (e.matches(PyExc_TypeError))
                pyapi::raise_in_handler(m.attr("InvalidArgument"), nb::str("上下限应该以 (lower, upper) 的形式指定"), e);
            throw;
        }
    }

    if (gt(lower_bounds.attr("sum")(), one)) invalid(m, nb::str("下限之和大于1"));
    if (lt(upper_bounds.attr("sum")(), one)) invalid(m, nb::str("上限之和小于1"));
    return nb::make_tuple(lower_bounds, upper_bounds);
}

}  // namespace velquor::optimize::input
