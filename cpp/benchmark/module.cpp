/// velquor.benchmark: module initialisation (imports, the benchmark interface and the index benchmark).
#include "benchmark/benchmark.hpp"

namespace nb = nanobind;
using namespace velquor;

NB_MODULE(benchmark, m) {
    pyapi::register_function_type(m);
    m.attr("abstractmethod") = pyapi::module("abc").attr("abstractmethod");
    m.attr("zorvata") = pyapi::module("zorvata");
    m.attr("InvalidArgument") = pyapi::module("velquor.exception").attr("InvalidArgument");

    benchmark::bind_classes(m);
}
