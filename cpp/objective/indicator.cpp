/// Indicator maximisation: MaxIndicator maximises the weighted average of a caller's per-stock indicator.
#include "objective/objective.hpp"

namespace velquor::objective {

namespace {

constexpr const char *kMaxIndicatorDoc =
    "\n"
    "    指标最大化\n"
    "\n"
    "    :param indicator_series: 指标序列\n"
    "    :type indicator_series: pd.Series\n"
    "    ";

/// Where init reads its parameters; def_init checks them by name.
namespace init_at {
constexpr pyapi::Param SELF{0}, SERIES{1};
}

nb::object init(pyapi::Arguments &a) {
    // No None case: None goes through ensure_series like any other value.
    nb::setattr(a[init_at::SELF], "_indicator_series", call_ensure_series(a[init_at::SERIES], "indicator_series"));
    return nb::none();
}

nb::object indicator_expr(pyapi::Arguments &a) {
    nb::handle self = a[method::self], g = a[method::g], helper = a[method::helper];
    nb::object np = global("np");
    nb::object series = self.attr("_indicator_series");
    nb::object ids = helper.attr("order_book_ids");
    nb::object pool = builtin("set")(ids);
    if (!pyapi::truthy(pool.attr("issubset")(builtin("set")(series.attr("index")))))
        pyapi::raise(global("InvalidArgument"), "传入股票池中的股票有部分在 indicator_series 中找不到值");

    // Aligned by label, in pool order; every pool id has a label (checked above).
    nb::object aligned = series.attr("reindex")(ids);
    nb::object values = float_values(aligned);
    // One value that is no finite number would turn the scale, and so every coefficient, into NaN.
    nb::object bad = np.attr("logical_not")(np.attr("isfinite")(values));
    if (pyapi::truthy(bad.attr("any")())) {
        nb::object labels = pyapi::getitem(aligned.attr("index"), bad).attr("tolist")();
        pyapi::raise(global("InvalidArgument"), pyapi::format("indicator_series 中以下股票的值不是有限数：{}", {labels}));
    }
    // Scale so that the mean absolute value over the pool is 10; signs and ratios are kept.
    nb::object scale = pyapi::mul(np.attr("abs")(values).attr("mean")(), nb::float_(0.1));
    if (pyapi::compare(scale, nb::int_(0), pyapi::Cmp::eq))
        pyapi::raise(global("InvalidArgument"), "indicator_series 在股票池中的值全部为 0，无法按指标优化");
    values = pyapi::truediv(values, scale);
    return pyapi::matmul(pyapi::neg(g), values);
}

}  // namespace

void bind_max_indicator(nb::module_ &m) {
    nb::object cls = make_objective_class(m, "MaxIndicator", kMaxIndicatorDoc);
    objective::def_init(cls, {"indicator_series"}, {}, {}, init,
                        {{"self", init_at::SELF}, {"indicator_series", init_at::SERIES}});
    def_method(cls, "get_objective_expr", {"g", "zeta", "helper"}, indicator_expr);
    def_plain_constraints_and_solver(cls);
}

}  // namespace velquor::objective
