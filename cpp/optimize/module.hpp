/// Declarations shared by the translation units of the optimize module.
#pragma once

#include "pyapi/pyapi.hpp"

namespace velquor::optimize {

namespace nb = nanobind;

/// The module object itself, looked up at call time: its attributes are the collaborators (late binding).
inline nb::module_ self() { return pyapi::module("velquor.optimize"); }

/// Binds to_enum, to_date, ensure_date_str, ensure_order_book_ids, ensure_bound, parse_bnds (in this order).
void bind_input_functions(nb::module_ &m);

/// Binds DEFAULT_OBJECTIVE and portfolio_optimize (in this order).
void bind_driver(nb::module_ &m);

}  // namespace velquor::optimize
