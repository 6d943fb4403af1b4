/// velquor.constraint: module initialisation (imports, the base class, the constraint kinds, diagnose).
#include "constraint/constraint.hpp"

namespace nb = nanobind;
using namespace velquor;

NB_MODULE(constraint, m) {
    pyapi::register_function_type(m);
    m.attr("ABCMeta") = pyapi::module("abc").attr("ABCMeta");
    m.attr("warnings") = pyapi::module("warnings");
    m.attr("cp") = pyapi::module("cvxpy");
    m.attr("np") = pyapi::module("numpy");
    m.attr("pd") = pyapi::module("pandas");
    m.attr("zorvata") = pyapi::module("zorvata");
    nb::module_ exception = pyapi::module("velquor.exception");
    for (const char *name : {"InvalidArgument", "OptimizationFailed", "OptimizerWarning"})
        m.attr(name) = exception.attr(name);
    nb::module_ constants = pyapi::module("velquor.const");
    for (const char *name : {"STYLE_FACTORS", "IndustryClassification", "CovModel", "RiskModel"})
        m.attr(name) = constants.attr(name);
    // What diagnose needs to read a request as portfolio_optimize reads it.
    m.attr("optimize") = pyapi::module("velquor.optimize");
    m.attr("OptimizeHelper") = pyapi::module("velquor.helper").attr("OptimizeHelper");
    nb::module_ benchmark = pyapi::module("velquor.benchmark");
    for (const char *name : {"IndexBenchmark", "OptimizeBenchmark"}) m.attr(name) = benchmark.attr(name);
    nb::module_ objective = pyapi::module("velquor.objective");
    for (const char *name : {"OptimizationObjective", "MinTrackingError", "ActiveMeanVariance", "MaxInformationRatio",
                             "MinActiveVariance"})
        m.attr(name) = objective.attr(name);

    // The base class, then the kinds in the order of the public class table.
    constraint::bind_interface(m);
    constraint::bind_tracking_error(m);
    constraint::bind_turnover(m);
    constraint::bind_benchmark_component(m);
    constraint::bind_industry(m);
    constraint::bind_style(m);
    constraint::bind_industry_component(m);
    constraint::bind_diagnose(m);
}
