/// velquor.objective: module initialisation (imports, ensure_series, the objective classes).
#include "pyapi/pyapi.hpp"

namespace nb = nanobind;
using namespace velquor;

NB_MODULE(objective, m) {
    pyapi::register_function_type(m);
    m.attr("ABCMeta") = pyapi::module("abc").attr("ABCMeta");
    m.attr("warnings") = pyapi::module("warnings");
    m.attr("cp") = pyapi::module("cvxpy");
    m.attr("np") = pyapi::module("numpy");
    m.attr("pd") = pyapi::module("pandas");
    m.attr("zorvata") = pyapi::module("zorvata");
    nb::module_ exception = pyapi::module("velquor.exception");
    m.attr("InvalidArgument") = exception.attr("InvalidArgument");
    m.attr("OptimizerWarning") = exception.attr("OptimizerWarning");
    m.attr("STYLE_FACTORS") = pyapi::module("velquor.const").attr("STYLE_FACTORS");

    // Class shells, in the order of the public table; their behaviour is bound by the objective sources.
    nb::object base = pyapi::make_class(m.attr("ABCMeta"), "OptimizationObjective",
                                        nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type)),
                                        "velquor.objective", "", false);
    m.attr("OptimizationObjective") = base;
    for (const char *name : {"MinVariance", "MinActiveVariance", "MeanVariance", "ActiveMeanVariance", "RiskParity",
                             "MinTrackingError", "MaxInformationRatio", "MaxSharpeRatio", "MaxIndicator",
                             "MinStyleDeviation"})
        nb::setattr(m, name, pyapi::make_class(m.attr("ABCMeta"), name, nb::make_tuple(base), "velquor.objective", ""));
}
