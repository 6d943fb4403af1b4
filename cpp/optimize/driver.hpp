/// The two halves of one portfolio_optimize call: the assembled request and its solve.
#pragma once

#include "optimize/module.hpp"
#include "request/request.hpp"

#include <vector>

namespace velquor::optimize {

/// Where the rows of one source of constraints sit in `hard_cons` or `soft_cons`: what the certificate checks
/// after the solve and names when one breaks (certificate.cpp).
struct Source {
    nb::object label;  ///< what a message names: "budget", "bnds", the objective or the constraint object
    Py_ssize_t begin = 0, end = 0;  ///< its rows: [begin, end) of hard_cons (hard) or soft_cons
    bool hard = true;
    bool internal = false;  ///< the objective's own rows: with a variable zeta they fix its scale only
};

/// Everything the solve stage needs from one assembled request; lives for one call only.
struct Request {
    nb::object early_result;  ///< set when the screened pool holds one stock: the answer, nothing to solve
    nb::object objective;
    nb::object order_book_ids;  ///< the screened pool; the index of the result
    nb::object g;
    nb::object zeta;
    nb::list hard_cons;
    nb::list soft_cons;
    std::vector<Source> sources;  ///< every source of rows in hard_cons and soft_cons, in order
    nb::object problem;
    nb::object solver;
    nb::dict solver_options;  ///< a fresh mapping per call: the driver may add "max_iters" and tolerances
    double objective_scale = 1.0;  ///< the constant the objective was multiplied by (tuned_objective)
};

/// The parameters of portfolio_optimize, found by name when the function is defined (bind_driver).
using DriverParams = request::Params;
extern DriverParams params;

/// Validates the arguments of portfolio_optimize (bound in declaration order) and builds the problem.
Request assemble(pyapi::Arguments &args);

/// The expression to minimise for `expr`, the objective's own: with the effective solver settled in
/// `r.solver` and, when the caller named no tolerance of SCS or CLARABEL, the driver's tolerances added to
/// `r.solver_options` and `expr` scaled to the order of one (solve.cpp).
nb::object tuned_objective(Request &r, nb::object expr);

/// Appends the rows of `items` to `hard ? r.hard_cons : r.soft_cons` and records them as one source.
void add_source(Request &r, nb::object label, nb::handle items, bool hard, bool internal = false);

/// The largest violation among the rows of one source at the solution, in the source's own units.
struct Violation {
    const Source *source = nullptr;  ///< none: every source holds within the tolerance
    double amount = 0.0;
};

/// Measures every source of `r` at the weights about to be returned (certificate.cpp, which states the
/// protocol the constraint kinds follow; the ratio objectives' scale rows are not measured). Returns the
/// worst source beyond `tolerance`, hard sources first.
/// Overwrites the values of `g` (and of a variable `zeta`).
Violation certify(Request &r, nb::handle weights, double tolerance);

/// Solves the assembled problem (with the single retry without soft constraints) and returns the weights.
nb::object solve(Request &request);

}  // namespace velquor::optimize
