/// The optimisation request: validation, problem assembly, solving and the result.
#include "optimize/module.hpp"

namespace velquor::optimize {

void bind_driver(nb::module_ &) {}

}  // namespace velquor::optimize
