/// velquor.benchmark: module initialisation (imports, the benchmark interface and the index benchmark).
#include "benchmark/benchmark.hpp"

namespace nb = nanobind;
using namespace velquor;

NB_MODULE(benchmark, m) {
    pyapi::register_function_type(m);
    m.attr("abstractmethod") = nb::module_::import_("abc").attr("abstractmethod");
    m.attr("zorvata") = nb::module_::import_("zorvata");
    m.attr("InvalidArgument") = nb::module_::import_("velquor.exception").attr("InvalidArgument");

    benchmark::bind_classes(m);
    // `from ... import *` takes the public names only, not the modules and classes imported above.
    m.attr("__all__") = nb::module_::import_("builtins").attr("list")(nb::make_tuple("OptimizeBenchmark", "IndexBenchmark"));
}
