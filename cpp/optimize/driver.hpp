/// The two halves of one portfolio_optimize call: the assembled request and its solve.
#pragma once

#include "optimize/module.hpp"
#include "request/request.hpp"

namespace velquor::optimize {

/// Everything the solve stage needs from one assembled request; lives for one call only.
struct Request {
    nb::object early_result;  ///< set when the screened pool holds one stock: the answer, nothing to solve
    nb::object objective;
    nb::object order_book_ids;  ///< the screened pool; the index of the result
    nb::object g;
    nb::object zeta;
    nb::list hard_cons;
    nb::list soft_cons;
    nb::object problem;
    nb::object solver;
    nb::dict solver_options;  ///< a fresh mapping per call: the solve stage may add "max_iters"
};

/// The parameters of portfolio_optimize, found by name when the function is defined (bind_driver).
using DriverParams = request::Params;
extern DriverParams params;

/// Validates the arguments of portfolio_optimize (bound in declaration order) and builds the problem.
Request assemble(pyapi::Arguments &args);

/// Solves the assembled problem (with the single retry without soft constraints) and returns the weights.
nb::object solve(Request &request);

}  // namespace velquor::optimize
