/// Style deviation minimisation: MinStyleDeviation steers style exposures towards targets.
#include "objective/objective.hpp"

namespace velquor::objective {

namespace {

using namespace nb::literals;

constexpr const char *kMinStyleDeviationDoc =
    "\n"
    "    风格偏离最小化\n"
    "\n"
    "    :param target_style: pd.Series, 目标风格\n"
    "    :param relative: bool, 是否为相对于基准\n"
    "    :param priority: pd.Series, 优先级，可以为每个风格指定一个0-9的优先级，9为最高优先级，0为最低优先级；"
    "未指定的风格默认优先级为5\n"
    "    ";

/// Where init reads its parameters; def_init checks them by name.
namespace init_at {
constexpr pyapi::Param SELF{0}, TARGET{1}, RELATIVE{2}, PRIORITY{3};
}

nb::object init(pyapi::Arguments &a) {
    nb::handle self = a[init_at::SELF], relative = a[init_at::RELATIVE], priority = a[init_at::PRIORITY];
    nb::object target = call_ensure_series(a[init_at::TARGET], "target_style");
    nb::object style_factors = global("STYLE_FACTORS");
    // The first label outside STYLE_FACTORS stops construction (`style in STYLE_FACTORS`).
    for (nb::handle style : target.attr("index"))
        if (!pyapi::contains(style_factors, style))
            pyapi::raise(global("InvalidArgument"),
                         pyapi::format("目标风格值 {} 非法，请从 {} 中选取", {style, style_factors}));
    nb::setattr(self, "_target_style", target);
    nb::setattr(self, "_relative", relative);
    if (priority.is_none()) {
        nb::setattr(self, "_priority", nb::none());
        return nb::none();
    }
    // Integers (fractions truncated), aligned to the targets with 5 for styles without a priority, in 0..9.
    nb::object levels = call_ensure_series(priority, "priority").attr("astype")(builtin("int"));
    levels = levels.attr("reindex")(target.attr("index"), "fill_value"_a = 5).attr("clip")(0, 9);
    nb::setattr(self, "_priority", levels);
    return nb::none();
}

nb::object style_expr(pyapi::Arguments &a) {
    nb::handle self = a[method::self], g = a[method::g], zeta = a[method::zeta], helper = a[method::helper];
    check_budget(zeta);
    bool relative = pyapi::truthy(self.attr("_relative"));
    nb::object benchmark_style;
    if (relative) {
        if (helper.attr("benchmark").is_none())
            pyapi::raise(global("InvalidArgument"), "在使用相对风格偏移时，必须指定 benchmark 参数");
        benchmark_style = helper.attr("get_benchmark_style")();
    }
    nb::object exposure = helper.attr("get_factor_exposure")();
    nb::object priority = self.attr("_priority");
    // Read through the object: a subclass or an instance may replace the table.
    nb::object factors = priority.is_none() ? nb::object() : self.attr("PRIORITY_ADJUST_FACTOR");
    // At most one term per style factor: a handful of quadratic terms, each over the whole weight vector.
    nb::object diff = nb::int_(0);
    for (nb::handle item : self.attr("_target_style").attr("items")()) {
        nb::object style = item[0];
        nb::object target = item[1];
        if (relative) target = pyapi::add(target, pyapi::getitem(benchmark_style, style));
        nb::object weight = priority.is_none() ? nb::int_(1)
                                               : pyapi::getitem(factors, pyapi::getitem(priority, style));
        nb::object portfolio = pyapi::matmul(g, pyapi::getitem(exposure, style).attr("values"));
        nb::object term = pyapi::power(pyapi::sub(portfolio, target), nb::int_(2));
        diff = pyapi::add(diff, pyapi::mul(weight, term));
    }
    return diff;
}

}  // namespace

void bind_min_style_deviation(nb::module_ &m) {
    nb::object cls = make_objective_class(m, "MinStyleDeviation", kMinStyleDeviationDoc);
    objective::def_init(cls, {"target_style"}, {"relative", "priority"}, {nb::bool_(false), nb::none()}, init,
                        {{"self", init_at::SELF},
                         {"target_style", init_at::TARGET},
                         {"relative", init_at::RELATIVE},
                         {"priority", init_at::PRIORITY}});
    nb::list table;
    for (int w : {1, 5, 10, 15, 20, 25, 30, 35, 40, 45}) table.append(nb::int_(w));
    cls.attr("PRIORITY_ADJUST_FACTOR") = table;
    def_method(cls, "get_objective_expr", {"g", "zeta", "helper"}, style_expr);
    def_plain_constraints_and_solver(cls);
}

}  // namespace velquor::objective
