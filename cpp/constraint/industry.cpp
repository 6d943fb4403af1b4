/// Industry constraints: IndustryConstraint, WildcardIndustryConstraint and IndustryComponentLimit.
#include "constraint/constraint.hpp"

namespace velquor::constraint {

namespace {

using namespace nb::literals;

constexpr const char *kIndustryDoc =
    "Bounds on the total weight of each named industry.\n"
    "\n"
    "With ``relative=True`` the bounds apply to the industry's weight minus the benchmark's weight in it\n"
    "(the benchmark's weights taken as a portfolio summing to 1; needs a benchmark).\n"
    "\n"
    ":param industries: one industry or a list, by code or by name as the market data stores them\n"
    ":param lower_limit: smallest weight of each industry (None: no lower bound)\n"
    ":param upper_limit: largest weight of each industry (None: no upper bound)\n"
    ":param relative: bound the weight relative to the benchmark's\n"
    ":param classification: an IndustryClassification or its text: \"sw\" (default), \"citics\",\n"
    "    \"sw_split_financials\"\n"
    ":param hard: False makes the constraint soft\n";

constexpr const char *kWildcardDoc =
    "The same bounds on every industry present in the pool or the benchmark.\n"
    "\n"
    "With ``relative=True`` each industry's weight minus the benchmark's weight in it is bounded (needs a\n"
    "benchmark): ``WildcardIndustryConstraint(-0.03, 0.03, relative=True)`` keeps every industry within\n"
    "three points of the benchmark.\n"
    "\n"
    ":param lower_limit: smallest weight of each industry (None: no lower bound)\n"
    ":param upper_limit: largest weight of each industry (None: no upper bound)\n"
    ":param relative: bound the weights relative to the benchmark's\n"
    ":param classification: an IndustryClassification or its text\n"
    ":param exclude: industries (codes or names) left unconstrained\n"
    ":param hard: False makes the constraint soft\n";

constexpr const char *kComponentDoc =
    "Bounds on the weight of each pool stock that belongs to the named industries.\n"
    "\n"
    "With ``relative=True`` the stock's weight minus its weight in the benchmark (taken as a portfolio\n"
    "summing to 1) is bounded; needs a benchmark.\n"
    "\n"
    ":param industries: one industry or a list, by code or by name\n"
    ":param lower_limit: smallest weight of each stock (None: no lower bound)\n"
    ":param upper_limit: largest weight of each stock (None: no upper bound)\n"
    ":param relative: bound the weights relative to the benchmark's\n"
    ":param classification: an IndustryClassification or its text\n"
    ":param hard: False makes the constraint soft\n";

/// Absolute industry weights lie in [0, 1]; differences from the benchmark in [-1, 1].
Range weight_range(nb::handle relative) { return pyapi::truthy(relative) ? Range{-1.0, 1.0} : Range{0.0, 1.0}; }

/// Stores the bounds, `relative`, `classification` and `hard` shared by the three kinds.
void store_common(const char *owner, nb::handle self, nb::handle lower, nb::handle upper, nb::handle relative,
                  nb::handle classification, nb::handle hard) {
    nb::object scheme = check_classification(owner, classification);
    auto [lo, hi] = check_bounds(owner, lower, upper, weight_range(relative));
    nb::setattr(self, "lower_limit", lo);
    nb::setattr(self, "upper_limit", hi);
    nb::setattr(self, "relative", relative);
    nb::setattr(self, "classification", scheme);
    nb::setattr(self, "hard", hard);
}

/// `__init__(self, industries, lower_limit, upper_limit, relative, classification, hard)`.
namespace named_at {
constexpr pyapi::Param industries{1}, lower{2}, upper{3}, relative{4}, classification{5}, hard{6};
}
namespace wildcard_at {
constexpr pyapi::Param lower{1}, upper{2}, relative{3}, classification{4}, exclude{5}, hard{6};
}

template <const char *Owner>
nb::object named_init(pyapi::Arguments &a) {
    using namespace named_at;
    nb::handle self = a[method::self];
    store_common(Owner, self, a[lower], a[upper], a[relative], a[classification], a[hard]);
    nb::list names = text_list(Owner, "industries", a[industries], false);
    nb::setattr(self, "_codes", industry_codes(Owner, names, self.attr("classification")));
    nb::setattr(self, "industries", names);
    return nb::none();
}

constexpr char kIndustry[] = "IndustryConstraint";
constexpr char kWildcard[] = "WildcardIndustryConstraint";
constexpr char kComponent[] = "IndustryComponentLimit";

nb::object wildcard_init(pyapi::Arguments &a) {
    using namespace wildcard_at;
    nb::handle self = a[method::self];
    store_common(kWildcard, self, a[lower], a[upper], a[relative], a[classification], a[hard]);
    nb::list names = text_list(kWildcard, "exclude", a[exclude], true);
    nb::setattr(self, "_exclude_codes", industry_codes(kWildcard, names, self.attr("classification")));
    nb::setattr(self, "exclude", names);
    return nb::none();
}

/// The industry code of every union member (None where unknown) as an object array.
nb::object union_codes(nb::handle self, nb::handle helper) {
    return helper.attr("get_union_industry")(self.attr("classification")).attr("to_numpy")("dtype"_a = builtin("object"));
}

/// Rows of 0/1: row j marks the members whose code is `codes[j]`.
nb::object membership(nb::handle codes, nb::handle member_codes) {
    nb::object np = global("np");
    nb::object column = pyapi::getitem(np.attr("asarray")(codes, "dtype"_a = builtin("object")),
                                       nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), nb::none()));
    nb::object row = pyapi::getitem(member_codes, nb::make_tuple(nb::none(), nb::slice(nb::none(), nb::none(), nb::none())));
    return pyapi::richcompare(column, row, pyapi::Cmp::eq).attr("astype")(builtin("float"));
}

/// The first `n` columns (the pool's) of a matrix, or entries of a vector.
nb::object pool_columns(nb::handle values, Py_ssize_t n, bool matrix) {
    nb::object head = nb::slice(nb::none(), nb::int_(n), nb::none());
    if (!matrix) return pyapi::getitem(values, head);
    return pyapi::getitem(values, nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), head));
}

/// Industry totals of g bounded for each of `codes`; relative: offset by the benchmark's industry weights.
nb::object industry_rows(const char *owner, nb::handle self, nb::handle g, nb::handle zeta, nb::handle helper,
                         nb::handle codes) {
    bool relative = pyapi::truthy(self.attr("relative"));
    if (relative) require_benchmark(owner, helper);
    nb::list out;
    if (nb::len(codes) == 0) return out;
    nb::object rows = membership(codes, union_codes(self, helper));
    nb::object lhs = pyapi::matmul(pool_columns(rows, pool_size(helper), true), g);
    nb::object offset = relative ? pyapi::matmul(rows, benchmark_portfolio(helper)) : nb::object();
    append_two_sided(out, lhs, zeta, self.attr("lower_limit"), self.attr("upper_limit"), offset);
    return out;
}

nb::object industry_to_constraints(pyapi::Arguments &a) {
    using namespace method;
    return industry_rows(kIndustry, a[method::self], a[g], a[zeta], a[helper], a[method::self].attr("_codes"));
}

nb::object wildcard_to_constraints(pyapi::Arguments &a) {
    nb::handle self = a[method::self], helper = a[method::helper];
    // Every industry of the pool and of the benchmark's constituents (the union), sorted, minus the excluded.
    nb::object excluded = builtin("set")(self.attr("_exclude_codes"));
    nb::list present;
    for (nb::handle code : builtin("sorted")(builtin("set")(union_codes(self, helper)), "key"_a = builtin("str"))) {
        if (code.is_none() || pyapi::truthy(excluded.attr("__contains__")(code))) continue;
        present.append(code);
    }
    return industry_rows(kWildcard, self, a[method::g], a[method::zeta], helper, present);
}

nb::object component_to_constraints(pyapi::Arguments &a) {
    nb::handle self = a[method::self], g = a[method::g], zeta = a[method::zeta], helper = a[method::helper];
    bool relative = pyapi::truthy(self.attr("relative"));
    if (relative) require_benchmark(kComponent, helper);
    nb::object np = global("np");
    Py_ssize_t n = pool_size(helper);
    nb::object pool_codes = pool_columns(union_codes(self, helper), n, false);
    nb::object picked = np.attr("flatnonzero")(np.attr("isin")(pool_codes, np.attr("asarray")(self.attr("_codes"),
                                                                                              "dtype"_a = builtin("object"))));
    nb::list out;
    if (nb::len(picked) == 0) return out;
    nb::object offset =
        relative ? pyapi::getitem(pool_columns(benchmark_portfolio(helper), n, false), picked) : nb::object();
    append_two_sided(out, pyapi::getitem(g, picked), zeta, self.attr("lower_limit"), self.attr("upper_limit"), offset);
    return out;
}

std::vector<Param> named_params() {
    using namespace named_at;
    return {{"industries", industries},
            {"lower_limit", lower, nb::none()},
            {"upper_limit", upper, nb::none()},
            {"relative", relative, nb::bool_(false)},
            {"classification", classification, nb::str("sw")},
            {"hard", hard, nb::bool_(true)}};
}

}  // namespace

void bind_industry(nb::module_ &m) {
    nb::object industry = make_constraint_class(m, kIndustry, kIndustryDoc);
    def_init(industry, named_params(), named_init<kIndustry>);
    def_to_constraints(industry, industry_to_constraints);

    nb::object wildcard = make_constraint_class(m, kWildcard, kWildcardDoc);
    def_init(wildcard,
             {{"lower_limit", wildcard_at::lower, nb::none()},
              {"upper_limit", wildcard_at::upper, nb::none()},
              {"relative", wildcard_at::relative, nb::bool_(false)},
              {"classification", wildcard_at::classification, nb::str("sw")},
              {"exclude", wildcard_at::exclude, nb::tuple()},
              {"hard", wildcard_at::hard, nb::bool_(true)}},
             wildcard_init);
    def_to_constraints(wildcard, wildcard_to_constraints);
}

void bind_industry_component(nb::module_ &m) {
    nb::object component = make_constraint_class(m, kComponent, kComponentDoc);
    def_init(component, named_params(), named_init<kComponent>);
    def_to_constraints(component, component_to_constraints);
}

}  // namespace velquor::constraint
