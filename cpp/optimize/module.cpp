/// velquor.optimize: module initialisation (imports, warning policy, debug switch, public functions).
#include "optimize/module.hpp"

namespace nb = nanobind;
using namespace velquor;

namespace {

void bind_imports(nb::module_ &m) {
    for (const char *name : {"warnings", "datetime", "time", "logging", "os"}) m.attr(name) = pyapi::module(name);
    m.attr("Iterable") = pyapi::module("typing").attr("Iterable");
    m.attr("parse_datetime") = pyapi::module("dateutil.parser").attr("parse");
    m.attr("pd") = pyapi::module("pandas");
    m.attr("np") = pyapi::module("numpy");
    m.attr("cp") = pyapi::module("cvxpy");
    m.attr("zorvata") = pyapi::module("zorvata");

    nb::module_ exception = pyapi::module("velquor.exception");
    for (const char *name : {"InvalidArgument", "OptimizationFailed", "OptimizerWarning"})
        m.attr(name) = exception.attr(name);

    // `from .const import *`: every public name of the constants module.
    nb::module_ constants = pyapi::module("velquor.const");
    nb::object names = pyapi::getattr_or_none(constants, "__all__");
    if (!names.is_valid()) names = pyapi::module("builtins").attr("dir")(constants);
    for (nb::handle name : names) {
        std::string n = nb::cast<std::string>(nb::str(name));
        if (!n.empty() && n[0] != '_') nb::setattr(m, name, constants.attr(name));
    }

    m.attr("OptimizeHelper") = pyapi::module("velquor.helper").attr("OptimizeHelper");
    nb::module_ benchmark = pyapi::module("velquor.benchmark");
    for (const char *name : {"IndexBenchmark", "OptimizeBenchmark"}) m.attr(name) = benchmark.attr(name);
    nb::module_ objective = pyapi::module("velquor.objective");
    for (const char *name : {"OptimizationObjective", "MinVariance", "MaxInformationRatio", "MaxSharpeRatio",
                             "MinTrackingError", "ActiveMeanVariance", "MinActiveVariance", "RiskParity"})
        m.attr(name) = objective.attr(name);
}

/// VELQUOR_DEBUG read as a switch: 1/true/yes/on (any case) turn verbose solving on, 0/false/no/off or an
/// empty or unset variable leave it off. Any other text warns, once, at import, and switches it on (a
/// variable set to something still asks for output, as it always did).
bool debug_switch(nb::module_ &m) {
    nb::object value = m.attr("os").attr("environ").attr("get")("VELQUOR_DEBUG", "");
    std::string text = nb::cast<std::string>(value.attr("strip")().attr("lower")());
    for (const char *on : {"1", "true", "yes", "on"})
        if (text == on) return true;
    for (const char *off : {"", "0", "false", "no", "off"})
        if (text == off) return false;
    nb::object message = pyapi::format("VELQUOR_DEBUG={!r} is not a switch (1/true/yes/on or 0/false/no/off); "
                                       "verbose solving is on",
                                       {value});
    m.attr("warnings").attr("warn")(message, pyapi::module("builtins").attr("RuntimeWarning"), 2);
    return true;
}

}  // namespace

NB_MODULE(optimize, m) {
    pyapi::register_function_type(m);
    bind_imports(m);

    // warnings.simplefilter("always", OptimizerWarning): in front of the existing filters, process-wide.
    m.attr("warnings").attr("simplefilter")("always", m.attr("OptimizerWarning"));

    m.attr("DEBUG") = nb::bool_(debug_switch(m));

    optimize::bind_input_functions(m);
    optimize::bind_driver(m);
}
