/// Declarations shared by the translation units of the benchmark module.
#pragma once

#include "pyapi/pyapi.hpp"

namespace velquor::benchmark {

namespace nb = nanobind;

/// The module object itself, looked up at call time: its attributes are the collaborators (late binding).
inline nb::module_ self() { return pyapi::module("velquor.benchmark"); }

/// Binds OptimizeBenchmark and IndexBenchmark (in this order).
void bind_classes(nb::module_ &m);

}  // namespace velquor::benchmark
