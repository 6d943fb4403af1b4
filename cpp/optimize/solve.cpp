/// Solving the assembled problem: solver choice, the retry without soft constraints, statuses and the result.
#include "optimize/driver.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace velquor::optimize {

namespace {

constexpr const char *INFEASIBLE_RETRY = "约束无法满足，放弃所有软约束重试";
constexpr const char *INACCURATE = "达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足";

/// `warnings.warn(message, OptimizerWarning, stacklevel=2)` from portfolio_optimize: points at its caller.
void warn_caller(const pyapi::Globals &m, const char *message) {
    pyapi::warn_as_python(m.attr("warnings"), m.attr("OptimizerWarning"), nb::str(message), 2);
}

bool status_is(const nb::object &status, const nb::object &cp, const char *a, const char *b) {
    return pyapi::compare(status, cp.attr(a), pyapi::Cmp::eq) || pyapi::compare(status, cp.attr(b), pyapi::Cmp::eq);
}

/// What a failed solve reports: the status when the solve returned a float (cvxpy's inf for an
/// infeasible minimisation), otherwise whatever the solve returned.
[[noreturn]] void fail(const pyapi::Globals &m, const nb::object &status, const nb::object &result) {
    pyapi::raise(m.attr("OptimizationFailed"), nb::isinstance<nb::float_>(result) ? status : result);
}

/// One timed solve; a SolverError (from the solve, the timing or the log line) becomes
/// OptimizationFailed("failed") with the solver's error attached as context. The result is reported in the
/// objective's own units (`objective_scale` undone).
nb::object solve_once(const pyapi::Globals &m, Request &r) {
    try {
        nb::object start_at = m.attr("time").attr("perf_counter")();
        nb::object solve = r.problem.attr("solve");
        nb::object solver = pyapi::truthy(r.solver) ? r.solver : r.objective.attr("get_preferred_solver")();
        // DEBUG is read from the module at every solve, so assigning the attribute takes effect at once.
        nb::object verbose = m.attr("DEBUG");
        nb::object result = pyapi::call_with_kwargs(solve, {{"solver", solver}, {"verbose", verbose}}, r.solver_options);
        if (r.objective_scale != 1.0 && nb::isinstance<nb::float_>(result))
            result = pyapi::truediv(result, nb::float_(r.objective_scale));
        nb::object elapsed = pyapi::sub(m.attr("time").attr("perf_counter")(), start_at);
        m.attr("logging").attr("info")("solve time: %f, optimization result = %f", elapsed, result);
        return result;
    } catch (nb::python_error &e) {
        if (pyapi::matches(e, m.attr("cp").attr("SolverError")))
            pyapi::raise_in_handler(m.attr("OptimizationFailed"), nb::str("failed"), e);
        throw;
    }
}

// ---------------------------------------------------------------------------------------------------------
// Accuracy. SCS stops when its residuals and duality gap are small against absolute and relative
// tolerances; cvxpy's default of 1e-5 leaves the weights up to 1e-2 from the optimum when the objective is
// small, as variances of daily returns are (1e-5 for a diversified portfolio). When the caller names no
// tolerance the driver (1) multiplies the objective by a constant that brings it to the order of one, which
// moves no optimum, and (2) asks for 1e-7: 1e-6 still stopped tracking problems over the whole market (an
// optimum far below the objective's size) 1e-4 from the optimum. Measured in bench/bench_accuracy.py:
// within 1e-4 of an interior-point solve at 1e-10 for every objective, at about the former cost. CLARABEL, the
// high-accuracy choice, gets tight tolerances too.

/// The tolerance options of a solver, the driver's values for them, and cvxpy's defaults (what the solver
/// runs at when none is given).
struct ToleranceKey {
    const char *name;
    double ours, solver_default;
};
struct SolverTolerances {
    const char *solver;  ///< the cvxpy constant's attribute name
    std::vector<ToleranceKey> keys;
    std::vector<const char *> also;  ///< other names that set a tolerance ("eps" sets both of SCS's)
    bool scale_objective;            ///< the objective is brought to the order of one
    int iterations;                  ///< with `iterations_key`, the iteration limit set with the tolerances
    const char *iterations_key;
};

// CLARABEL's objective is not rescaled: as an interior-point method its absolute gap of 1e-10 already
// resolves a daily variance, and a rescaled objective kept it from certifying infeasibility within its
// iteration limit. It gets the iterations a gap of 1e-10 needs on the largest pools.
const SolverTolerances TOLERANCES[] = {
    {"SCS", {{"eps_abs", 1e-7, 1e-5}, {"eps_rel", 1e-7, 1e-5}}, {"eps"}, true, 0, nullptr},
    {"CLARABEL",
     {{"tol_gap_abs", 1e-10, 1e-8}, {"tol_gap_rel", 1e-10, 1e-8}, {"tol_feas", 1e-9, 1e-8}},
     {"tol_infeas_abs", "tol_infeas_rel", "tol_ktratio"},
     false,
     500,
     "max_iter"},
};

/// The re-solve after a broken certificate divides every tolerance by this.
constexpr double TIGHTER = 100.0;
/// No tolerance is tightened below this: beyond it a solver only reports its limits.
constexpr double FINEST = 1e-12;
/// The certificate's tolerance, in each constraint's own units.
constexpr double CERTIFICATE_TOLERANCE = 1e-6;

const SolverTolerances *tolerances_of(const pyapi::Globals &m, const nb::object &solver) {
    nb::object cp = m.attr("cp");
    for (const SolverTolerances &t : TOLERANCES)
        if (pyapi::compare(solver, cp.attr(t.solver), pyapi::Cmp::eq)) return &t;
    return nullptr;
}

bool caller_set_tolerance(const SolverTolerances &t, const nb::dict &options) {
    for (const ToleranceKey &k : t.keys)
        if (options.contains(k.name)) return true;
    for (const char *name : t.also)
        if (options.contains(name)) return true;
    return false;
}

/// A constant that brings the objective to the order of one: the reciprocal of the largest magnitude it
/// takes at three fully invested portfolios (equal weights, and halfway from them to the first and to the
/// last stock; several points because a mean-variance objective can vanish at equal weights). 1 when no
/// point gives a finite positive value.
double objective_scale(const pyapi::Globals &m, Request &r, nb::handle expr) {
    nb::object cp = m.attr("cp"), np = m.attr("np");
    const bool variable_zeta = pyapi::isinstance(r.zeta, cp.attr("Variable"));
    const double zeta = variable_zeta ? 1.0 : nb::cast<double>(pyapi::to_float(r.zeta));
    const Py_ssize_t n = nb::len(r.order_book_ids);
    if (variable_zeta) nb::setattr(r.zeta, "value", nb::float_(1.0));
    double largest = 0.0;
    for (int k = 0; k < 3; ++k) {
        nb::object point = np.attr("full")(n, zeta / static_cast<double>(n));
        if (k > 0) {
            point = pyapi::mul(nb::float_(0.5), point);
            nb::object at = nb::int_(k == 1 ? 0 : n - 1);
            pyapi::setitem(point, at, pyapi::add(pyapi::getitem(point, at), nb::float_(0.5 * zeta)));
        }
        nb::setattr(r.g, "value", point);
        nb::object value = expr.attr("value");
        if (value.is_none()) continue;
        double v = std::fabs(nb::cast<double>(pyapi::to_float(value)));
        if (std::isfinite(v)) largest = std::max(largest, v);
    }
    nb::setattr(r.g, "value", nb::none());
    if (variable_zeta) nb::setattr(r.zeta, "value", nb::none());
    // Only small objectives are scaled up (large ones already meet the relative tolerance), and never by
    // more than 1e8: an objective that nearly vanishes at all three points is not blown up.
    if (!(largest > 0.0)) return 1.0;
    return std::clamp(1.0 / largest, 1.0, 1e8);
}

/// Tightens every tolerance of the effective solver in the options (the caller's or the driver's) for one
/// more solve. False when the solver has no tolerances the driver knows.
bool tighten(const pyapi::Globals &m, Request &r) {
    const SolverTolerances *t = tolerances_of(m, r.solver);
    if (t == nullptr) return false;
    auto tighter = [&](const char *name, double fallback) {
        double now = r.solver_options.contains(name) ? nb::cast<double>(pyapi::to_float(r.solver_options[name]))
                                                     : fallback;
        r.solver_options[name] = nb::float_(std::max(now / TIGHTER, FINEST));
    };
    // SCS's "eps" overrides both of its tolerances: it is the one to tighten when given.
    if (t == &TOLERANCES[0] && r.solver_options.contains("eps")) {
        tighter("eps", 0.0);
        return true;
    }
    for (const ToleranceKey &k : t->keys) tighter(k.name, k.solver_default);
    return true;
}

}  // namespace

nb::object tuned_objective(Request &r, nb::object expr) {
    auto m = self();
    if (!pyapi::truthy(r.solver)) r.solver = r.objective.attr("get_preferred_solver")();
    const SolverTolerances *t = tolerances_of(m, r.solver);
    if (t == nullptr || caller_set_tolerance(*t, r.solver_options)) return expr;
    for (const ToleranceKey &k : t->keys) r.solver_options[k.name] = nb::float_(k.ours);
    if (t->iterations_key != nullptr && !r.solver_options.contains(t->iterations_key))
        r.solver_options[t->iterations_key] = nb::int_(t->iterations);
    if (!t->scale_objective) return expr;
    r.objective_scale = objective_scale(m, r, expr);
    if (r.objective_scale == 1.0) return expr;
    return pyapi::mul(nb::float_(r.objective_scale), expr);
}

namespace {

/// "the weights break constraint X by Y (tolerance T)"
nb::object broken_message(const Violation &v) {
    nb::object label = nb::isinstance<nb::str>(v.source->label) ? v.source->label : nb::repr(v.source->label);
    return pyapi::format("优化结果违反约束 {}：超出 {:.3g}（容差 {:g}）",
                         {label, nb::float_(v.amount), nb::float_(CERTIFICATE_TOLERANCE)});
}

/// g's solved values divided by their sum. The solver's residuals can leave tiny negative entries in a
/// nonnegative variable: they are clipped to zero so a long-only portfolio never reports a short weight. A
/// solution without a positive finite sum has no weights to report and is a failed optimisation.
nb::object normalised(const pyapi::Globals &m, const nb::object &value) {
    nb::object np = m.attr("np");
    nb::object clipped = np.attr("maximum")(value, 0.0);
    nb::object total = clipped.attr("sum")();
    bool usable = pyapi::truthy(np.attr("all")(np.attr("isfinite")(clipped))) &&
                  pyapi::compare(total, nb::float_(0.0), pyapi::Cmp::gt);
    if (!usable) pyapi::raise(m.attr("OptimizationFailed"), nb::str("failed"));
    return pyapi::truediv(clipped, total);
}

}  // namespace

nb::object solve(Request &r) {
    auto m = self();
    nb::object cp = m.attr("cp");

    if (pyapi::compare(r.solver, cp.attr("SCS"), pyapi::Cmp::eq) && !r.solver_options.contains("max_iters"))
        r.solver_options["max_iters"] = nb::int_(10000);

    bool tightened = false;
    for (;;) {
        nb::object result = solve_once(m, r);
        nb::object status = r.problem.attr("status");
        if (status_is(status, cp, "OPTIMAL", "OPTIMAL_INACCURATE")) {
            nb::object value = r.g.attr("value");
            if (value.is_none()) pyapi::raise(m.attr("OptimizationFailed"), nb::str("failed"));
            nb::object zeta = pyapi::isinstance(r.zeta, cp.attr("Variable")) ? r.zeta.attr("value") : r.zeta;
            m.attr("logging").attr("debug")("g.value.sum() = %f, zeta = %f", value.attr("sum")(), zeta);
            nb::object weights = normalised(m, value);

            // The certificate: weights that break a hard constraint are never returned.
            Violation broken = certify(r, weights, CERTIFICATE_TOLERANCE);
            if (broken.source == nullptr) {
                if (pyapi::compare(status, cp.attr("OPTIMAL_INACCURATE"), pyapi::Cmp::eq)) warn_caller(m, INACCURATE);
                return m.attr("pd").attr("Series")(weights, nb::arg("index") = r.order_book_ids);
            }
            if (!tightened && tighten(m, r)) {
                tightened = true;
                continue;
            }
            // A broken soft constraint is an infeasible one: the fallback below drops them all.
            if (broken.source->hard || r.soft_cons.size() == 0)
                pyapi::raise(m.attr("OptimizationFailed"), broken_message(broken));
        } else {
            if (!status_is(status, cp, "INFEASIBLE", "INFEASIBLE_INACCURATE")) fail(m, status, result);
            // Infeasible: give up every soft constraint, once; a second infeasible outcome has none left.
            if (r.soft_cons.size() == 0) fail(m, status, result);
        }
        warn_caller(m, INFEASIBLE_RETRY);
        r.soft_cons.clear();
        std::erase_if(r.sources, [](const Source &s) { return !s.hard; });
        r.problem = cp.attr("Problem")(r.problem.attr("objective"), r.hard_cons);
    }
}

}  // namespace velquor::optimize
