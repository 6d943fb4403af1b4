/// velquor.benchmark: module initialisation (imports, the benchmark interface and the index benchmark).
#include "pyapi/pyapi.hpp"

namespace nb = nanobind;
using namespace velquor;

NB_MODULE(benchmark, m) {
    pyapi::register_function_type(m);
    m.attr("abstractmethod") = pyapi::module("abc").attr("abstractmethod");
    m.attr("zorvata") = pyapi::module("zorvata");
    m.attr("InvalidArgument") = pyapi::module("velquor.exception").attr("InvalidArgument");

    nb::handle type = (PyObject *)&PyType_Type;
    nb::object base = pyapi::make_class(type, "OptimizeBenchmark",
                                        nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)),
                                        "velquor.benchmark", "自定义基准抽象类");
    m.attr("OptimizeBenchmark") = base;
    m.attr("IndexBenchmark") = pyapi::make_class(type, "IndexBenchmark", nb::make_tuple(base), "velquor.benchmark", "", false);
}
