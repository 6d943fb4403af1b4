/// Declarations shared by the translation units of the benchmark module.
#pragma once

#include "pyapi/pyapi.hpp"

namespace velquor::benchmark {

namespace nb = nanobind;

/// The namespace of the running function (the module's): its names are the collaborators, looked up at the
/// moment of use (late binding).
inline pyapi::Globals self() { return pyapi::globals(); }

/// Binds OptimizeBenchmark and IndexBenchmark (in this order).
void bind_classes(nb::module_ &m);

}  // namespace velquor::benchmark
