/// Style constraints: StyleConstraint and WildcardStyleConstraint.
#include "constraint/constraint.hpp"

namespace velquor::constraint {

namespace {

using namespace nb::literals;

constexpr const char *kStyle = "StyleConstraint";
constexpr const char *kWildcard = "WildcardStyleConstraint";

constexpr const char *kStyleDoc =
    "Bounds on the portfolio's exposure to each named style factor, ``sum(w_i * x_i)``.\n"
    "\n"
    "With ``relative=True`` the exposure minus the benchmark's (its weights taken as a portfolio\n"
    "summing to 1) is bounded; needs a benchmark.\n"
    "\n"
    ":param styles: one style of ``velquor.const.STYLE_FACTORS`` or a list of them\n"
    ":param lower_limit: smallest exposure (None: no lower bound)\n"
    ":param upper_limit: largest exposure (None: no upper bound)\n"
    ":param relative: bound the exposure relative to the benchmark's\n"
    ":param hard: False makes the constraint soft\n";

constexpr const char *kWildcardDoc =
    "The same bounds on the exposure to every style factor except ``exclude``.\n"
    "\n"
    "``WildcardStyleConstraint(-0.3, 0.3, relative=True)`` keeps every style exposure within 0.3 of the\n"
    "benchmark's.\n"
    "\n"
    ":param lower_limit: smallest exposure (None: no lower bound)\n"
    ":param upper_limit: largest exposure (None: no upper bound)\n"
    ":param relative: bound the exposures relative to the benchmark's\n"
    ":param exclude: styles left unconstrained\n"
    ":param hard: False makes the constraint soft\n";

void store_common(const char *owner, nb::handle self, nb::handle lower, nb::handle upper, nb::handle relative,
                  nb::handle hard) {
    // Exposures are standardised scores: any finite bound is meaningful.
    auto [lo, hi] = check_bounds(owner, lower, upper, Range{});
    nb::setattr(self, "lower_limit", lo);
    nb::setattr(self, "upper_limit", hi);
    nb::setattr(self, "relative", relative);
    nb::setattr(self, "hard", hard);
}

nb::object style_init(pyapi::Arguments &a) {
    nb::handle self = a[0];
    store_common(kStyle, self, a[2], a[3], a[4], a[5]);
    nb::setattr(self, "styles", check_styles(kStyle, "styles", a[1], false));
    return nb::none();
}

nb::object wildcard_init(pyapi::Arguments &a) {
    nb::handle self = a[0];
    store_common(kWildcard, self, a[1], a[2], a[3], a[5]);
    nb::list exclude = check_styles(kWildcard, "exclude", a[4], true);
    if (nb::len(exclude) == nb::len(global("STYLE_FACTORS")))
        invalid(pyapi::format("{}: exclude leaves no style to constrain", {nb::str(kWildcard)}));
    nb::setattr(self, "exclude", exclude);
    return nb::none();
}

/// Exposures of g to `styles` bounded; relative: offset by the benchmark's exposures.
nb::object style_rows(const char *owner, nb::handle self, nb::handle g, nb::handle zeta, nb::handle helper,
                      nb::handle styles) {
    bool relative = pyapi::truthy(self.attr("relative"));
    if (relative) require_benchmark(owner, helper);
    // Union rows x styles; the pool is the first rows.
    nb::object x = pyapi::getitem(helper.attr("get_union_style_exposure")(), builtin("list")(styles))
                       .attr("to_numpy")("dtype"_a = builtin("float"));
    nb::object pool_rows = pyapi::getitem(x, nb::slice(nb::none(), nb::int_(pool_size(helper)), nb::none()));
    nb::object lhs = pyapi::matmul(pool_rows.attr("T"), g);
    nb::object offset = relative ? pyapi::matmul(x.attr("T"), benchmark_portfolio(helper)) : nb::object();
    nb::list out;
    append_two_sided(out, lhs, zeta, self.attr("lower_limit"), self.attr("upper_limit"), offset);
    return out;
}

nb::object style_to_constraints(pyapi::Arguments &a) {
    return style_rows(kStyle, a[0], a[1], a[2], a[3], a[0].attr("styles"));
}

nb::object wildcard_to_constraints(pyapi::Arguments &a) {
    nb::object excluded = builtin("set")(a[0].attr("exclude"));
    nb::list styles;
    for (nb::handle style : global("STYLE_FACTORS"))
        if (!pyapi::truthy(excluded.attr("__contains__")(style))) styles.append(style);
    return style_rows(kWildcard, a[0], a[1], a[2], a[3], styles);
}

}  // namespace

void bind_style(nb::module_ &m) {
    nb::object style = make_constraint_class(m, kStyle, kStyleDoc);
    def_init(style,
             {{"styles"},
              {"lower_limit", nb::none()},
              {"upper_limit", nb::none()},
              {"relative", nb::bool_(false)},
              {"hard", nb::bool_(true)}},
             style_init);
    def_to_constraints(style, style_to_constraints);

    nb::object wildcard = make_constraint_class(m, kWildcard, kWildcardDoc);
    def_init(wildcard,
             {{"lower_limit", nb::none()},
              {"upper_limit", nb::none()},
              {"relative", nb::bool_(false)},
              {"exclude", nb::tuple()},
              {"hard", nb::bool_(true)}},
             wildcard_init);
    def_to_constraints(wildcard, wildcard_to_constraints);
}

}  // namespace velquor::constraint
