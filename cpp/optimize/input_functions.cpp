/// Input coercion: dates, enumerations, pool screening and weight bounds.
#include "optimize/module.hpp"

namespace velquor::optimize {

void bind_input_functions(nb::module_ &) {}

}  // namespace velquor::optimize
