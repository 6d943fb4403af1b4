/// Declarations shared by the translation units of the optimize module.
#pragma once

#include "pyapi/pyapi.hpp"

namespace velquor::optimize {

namespace nb = nanobind;

/// The namespace of the running function (the module's): its names are the collaborators, looked up at the
/// moment of use (late binding).
inline pyapi::Globals self() { return pyapi::globals(); }

/// Binds to_enum, to_date, ensure_date_str, ensure_order_book_ids, ensure_bound, parse_bnds (in this order).
void bind_input_functions(nb::module_ &m);

/// Binds DEFAULT_OBJECTIVE and portfolio_optimize (in this order).
void bind_driver(nb::module_ &m);

/// Binds prepare_request (after portfolio_optimize, whose parameters it takes).
void bind_prepare_request(nb::module_ &m);

}  // namespace velquor::optimize
