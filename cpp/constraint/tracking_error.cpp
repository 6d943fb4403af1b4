/// TrackingErrorLimit: the annualised ex-ante tracking error against the benchmark as a second-order cone.
#include "constraint/constraint.hpp"

namespace velquor::constraint {

namespace {

constexpr const char *kOwner = "TrackingErrorLimit";

constexpr const char *kDoc =
    "Upper limit on the annualised ex-ante tracking error against the benchmark.\n"
    "\n"
    "``sqrt(A * a' S a) <= upper_limit`` with ``a`` the active weights over the pool and the benchmark's\n"
    "constituents (constituents outside the pool weigh 0), ``S`` the risk model's covariance (without the\n"
    "two risk-aversion scalings) and ``A`` 252, 12 or 4 for the daily, monthly or quarterly horizon.\n"
    "Needs a benchmark.\n"
    "\n"
    ":param upper_limit: the largest annualised tracking error, e.g. 0.05 for 5%\n"
    ":param hard: False makes the constraint soft\n";

namespace init_at {
constexpr pyapi::Param limit{1}, hard{2};
}

nb::object init(pyapi::Arguments &a) {
    nb::handle self = a[method::self];
    nb::setattr(self, "upper_limit", check_limit(kOwner, "upper_limit", a[init_at::limit], Range{0.0, {}}, false));
    nb::setattr(self, "hard", a[init_at::hard]);
    return nb::none();
}

/// The matrix `L` with `L L' == cov`, scaled by `factor` (cov has no factor decomposition to use).
nb::object dense_root(nb::handle cov, nb::handle factor) {
    nb::object np = global("np");
    std::vector<nb::object> parts = pyapi::unpack(np.attr("linalg").attr("eigh")(np.attr("asarray")(cov)), 2);
    nb::object scale = pyapi::mul(np.attr("sqrt")(np.attr("maximum")(parts[0], 0.0)), factor);
    return pyapi::mul(parts[1], scale);
}

nb::object to_constraints(pyapi::Arguments &a) {
    nb::handle self = a[method::self], g = a[method::g], zeta = a[method::zeta], helper = a[method::helper];
    require_benchmark(kOwner, helper);
    nb::object np = global("np"), cp = global("cp");

    // Active weights of g against zeta times the benchmark: a' S a <= (limit * zeta)^2 / A for w = g / zeta.
    nb::object active = pyapi::sub(union_weights(g, helper), scaled(zeta, benchmark_weights(helper)));
    nb::object cov = helper.attr("get_union_model_cov_matrix")();
    // The cone is written in annualised units, sqrt(A) * ||S^(1/2) a|| <= limit * zeta: both sides of the
    // size of the limit itself, which keeps the solver's absolute tolerance meaningful.
    nb::object factor = np.attr("sqrt")(builtin("float")(helper.attr("annualization_factor")));
    nb::object root = pyapi::getattr_or_none(cov, "factor_root");
    nb::object specific = pyapi::getattr_or_none(cov, "specific_variance");
    nb::object stacked;
    if (root.is_valid() && !root.is_none() && specific.is_valid() && !specific.is_none()) {
        // S = R R' + diag(d): ||(R' a, sqrt(d) * a)|| has k + m rows instead of a dense m x m block.
        nb::list parts;
        parts.append(pyapi::matmul(pyapi::mul(root, factor).attr("T"), active));
        parts.append(cp.attr("multiply")(pyapi::mul(np.attr("sqrt")(specific), factor), active));
        stacked = cp.attr("hstack")(parts);
    } else {
        stacked = pyapi::matmul(dense_root(cov, factor).attr("T"), active);
    }
    nb::list out;
    out.append(cp.attr("SOC")(scaled(zeta, self.attr("upper_limit")), stacked));
    return out;
}

}  // namespace

void bind_tracking_error(nb::module_ &m) {
    nb::object cls = make_constraint_class(m, "TrackingErrorLimit", kDoc);
    def_init(cls, {{"upper_limit", init_at::limit}, {"hard", init_at::hard, nb::bool_(true)}}, init);
    def_to_constraints(cls, to_constraints);
}

}  // namespace velquor::constraint
