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

namespace style_at {
constexpr pyapi::Param styles{1}, lower{2}, upper{3}, relative{4}, hard{5};
}
namespace wildcard_at {
constexpr pyapi::Param lower{1}, upper{2}, relative{3}, exclude{4}, hard{5};
}

nb::object style_init(pyapi::Arguments &a) {
    using namespace style_at;
    nb::handle self = a[method::self];
    store_common(kStyle, self, a[lower], a[upper], a[relative], a[hard]);
    nb::setattr(self, "styles", check_styles(kStyle, "styles", a[styles], false));
    return nb::none();
}

nb::object wildcard_init(pyapi::Arguments &a) {
    using namespace wildcard_at;
    nb::handle self = a[method::self];
    store_common(kWildcard, self, a[lower], a[upper], a[relative], a[hard]);
    nb::list excluded = check_styles(kWildcard, "exclude", a[exclude], true);
    if (nb::len(excluded) == nb::len(global("STYLE_FACTORS")))
        invalid(pyapi::format("{}: exclude leaves no style to constrain", {nb::str(kWildcard)}));
    nb::setattr(self, "exclude", excluded);
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
    using namespace method;
    return style_rows(kStyle, a[method::self], a[g], a[zeta], a[helper], a[method::self].attr("styles"));
}

nb::object wildcard_to_constraints(pyapi::Arguments &a) {
    using namespace method;
    nb::object excluded = builtin("set")(a[method::self].attr("exclude"));
    nb::list styles;
    for (nb::handle style : global("STYLE_FACTORS"))
        if (!pyapi::truthy(excluded.attr("__contains__")(style))) styles.append(style);
    return style_rows(kWildcard, a[method::self], a[g], a[zeta], a[helper], styles);
}

}  // namespace

void bind_style(nb::module_ &m) {
    nb::object style = make_constraint_class(m, kStyle, kStyleDoc);
    def_init(style,
             {{"styles", style_at::styles},
              {"lower_limit", style_at::lower, nb::none()},
              {"upper_limit", style_at::upper, nb::none()},
              {"relative", style_at::relative, nb::bool_(false)},
              {"hard", style_at::hard, nb::bool_(true)}},
             style_init);
    def_to_constraints(style, style_to_constraints);

    nb::object wildcard = make_constraint_class(m, kWildcard, kWildcardDoc);
    def_init(wildcard,
             {{"lower_limit", wildcard_at::lower, nb::none()},
              {"upper_limit", wildcard_at::upper, nb::none()},
              {"relative", wildcard_at::relative, nb::bool_(false)},
              {"exclude", wildcard_at::exclude, nb::tuple()},
              {"hard", wildcard_at::hard, nb::bool_(true)}},
             wildcard_init);
    def_to_constraints(wildcard, wildcard_to_constraints);
}

}  // namespace velquor::constraint
