/// The optimisation request as portfolio_optimize reads it, written once for every function that reads one
/// (portfolio_optimize, prepare_request, diagnose): screening, the objective check, the benchmark rule, the
/// helper, the budget, the bounds and the caller's constraints.
#pragma once

#include "pyapi/pyapi.hpp"

#include <vector>

namespace velquor::request {

namespace nb = nanobind;

/// Where a function with portfolio_optimize's parameter list reads each parameter.
struct Params {
    pyapi::Param order_book_ids, date, objective, bnds, cons, benchmark, cov_model, factor_risk_aversion,
        specific_risk_aversion, solver, risk_model;
};

/// The positions of the parameters in `sig`, found by name (a renamed parameter fails the module's import).
Params params_of(const pyapi::Signature &sig);

/// The parameter list of `function` (a function of the package) as its `__signature__` declares it, defaults
/// included: the functions that take a request read portfolio_optimize's rather than restating it.
pyapi::Signature signature_of(nb::handle function);

/// What the budget of `g` is, by objective class.
enum class Budget {
    unit,        ///< sum(g) == 1
    free_scale,  ///< sum(g) == zeta, zeta a nonnegative variable (the ratio objectives are homogenised)
    pool_size,   ///< sum(g) == n (risk parity's log barrier wants weights of order one)
};

/// The request read up to its helper. Every collaborator is looked up, at the moment of use, in the namespace
/// `ns` given to `read` (velquor.optimize's), so a patched module attribute is seen by every reader alike.
struct Context {
    nb::object date;            ///< the optimisation date as a calendar date
    nb::object order_book_ids;  ///< the screened pool, sorted
    Py_ssize_t n = 0;           ///< its size; below 2 nothing further is read (`objective`... stay empty)
    nb::object objective;
    nb::object benchmark;  ///< checked (an IndexBenchmark for a text), or None
    nb::object helper;
    Budget budget = Budget::unit;
    bool solved_bare = false;  ///< risk parity without bounds or constraints is solved without constraints
};

/// Reads the request in this order: the date, the screened pool (empty: InvalidArgument), and for a pool of
/// two or more the objective (not an OptimizationObjective: InvalidArgument), the benchmark rule and the helper.
Context read(const pyapi::Globals &ns, pyapi::Arguments &args, const Params &p);

/// The answer for a pool of one stock: all its weight, nothing optimised.
nb::object single_stock(const pyapi::Globals &ns, const Context &c);

/// `cp.sum(g) - zeta == 0`.
nb::object budget_row(const pyapi::Globals &ns, nb::handle g, nb::handle zeta);

/// `parse_bnds(bnds, pool)` as the two element-wise rows `g - zeta * lower >= 0`, `g - zeta * upper <= 0`.
nb::list bound_rows(const pyapi::Globals &ns, nb::handle bnds, const Context &c, nb::handle g, nb::handle zeta);

/// One of the caller's constraints as the driver reads it: `hard` first, then `to_constraints`.
struct Item {
    nb::object constraint;
    bool hard;
    nb::object rows;  ///< what `to_constraints(g, zeta, helper)` returned (an iterable of cvxpy constraints)
};

/// Every constraint of `cons` (None: none), in order.
std::vector<Item> constraint_rows(nb::handle cons, const Context &c, nb::handle g, nb::handle zeta);

/// `for row in rows: target.append(row)`.
void extend(nb::list &target, nb::handle rows);

}  // namespace velquor::request
