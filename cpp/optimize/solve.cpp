/// Solving the assembled problem: solver choice, the retry without soft constraints, statuses and the result.
#include "optimize/driver.hpp"

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
/// OptimizationFailed("failed") with the solver's error attached as context.
nb::object solve_once(const pyapi::Globals &m, Request &r) {
    try {
        nb::object start_at = m.attr("time").attr("perf_counter")();
        nb::object solve = r.problem.attr("solve");
        nb::object solver = pyapi::truthy(r.solver) ? r.solver : r.objective.attr("get_preferred_solver")();
        // DEBUG is read from the module at every solve, so assigning the attribute takes effect at once.
        nb::object verbose = m.attr("DEBUG");
        nb::object result = pyapi::call_with_kwargs(solve, {{"solver", solver}, {"verbose", verbose}}, r.solver_options);
        nb::object elapsed = pyapi::sub(m.attr("time").attr("perf_counter")(), start_at);
        m.attr("logging").attr("info")("solve time: %f, optimization result = %f", elapsed, result);
        return result;
    } catch (nb::python_error &e) {
        if (pyapi::matches(e, m.attr("cp").attr("SolverError")))
            pyapi::raise_in_handler(m.attr("OptimizationFailed"), nb::str("failed"), e);
        throw;
    }
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

    if (!pyapi::truthy(r.solver)) r.solver = r.objective.attr("get_preferred_solver")();
    if (pyapi::compare(r.solver, cp.attr("SCS"), pyapi::Cmp::eq) && !r.solver_options.contains("max_iters"))
        r.solver_options["max_iters"] = nb::int_(10000);

    nb::object status;
    for (;;) {
        nb::object result = solve_once(m, r);
        status = r.problem.attr("status");
        if (status_is(status, cp, "OPTIMAL", "OPTIMAL_INACCURATE")) break;
        if (!status_is(status, cp, "INFEASIBLE", "INFEASIBLE_INACCURATE")) fail(m, status, result);
        // Infeasible: give up every soft constraint, once; a second infeasible outcome has none left.
        if (r.soft_cons.size() == 0) fail(m, status, result);
        warn_caller(m, INFEASIBLE_RETRY);
        r.soft_cons.clear();
        r.problem = cp.attr("Problem")(r.problem.attr("objective"), r.hard_cons);
    }

    nb::object value = r.g.attr("value");
    if (value.is_none()) pyapi::raise(m.attr("OptimizationFailed"), nb::str("failed"));
    nb::object zeta = pyapi::isinstance(r.zeta, cp.attr("Variable")) ? r.zeta.attr("value") : r.zeta;
    m.attr("logging").attr("debug")("g.value.sum() = %f, zeta = %f", value.attr("sum")(), zeta);

    if (pyapi::compare(status, cp.attr("OPTIMAL_INACCURATE"), pyapi::Cmp::eq))
        warn_caller(m, INACCURATE);

    return m.attr("pd").attr("Series")(normalised(m, value), nb::arg("index") = r.order_book_ids);
}

}  // namespace velquor::optimize
