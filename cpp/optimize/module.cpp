/// velquor.optimize: module initialisation (imports, warning policy, debug switch, public functions).
#include "optimize/module.hpp"

namespace nb = nanobind;
using namespace velquor;

namespace {

void bind_imports(nb::module_ &m) {
    for (const char *name : {"warnings", "datetime", "time", "logging", "os"}) m.attr(name) = nb::module_::import_(name);
    m.attr("Iterable") = nb::module_::import_("typing").attr("Iterable");
    m.attr("parse_datetime") = nb::module_::import_("dateutil.parser").attr("parse");
    m.attr("pd") = nb::module_::import_("pandas");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("cp") = nb::module_::import_("cvxpy");
    m.attr("zorvata") = nb::module_::import_("zorvata");

    nb::module_ exception = nb::module_::import_("velquor.exception");
    for (const char *name : {"InvalidArgument", "OptimizationFailed", "OptimizerWarning"})
        m.attr(name) = exception.attr(name);

    // `from .const import *`: every public name of the constants module.
    nb::module_ constants = nb::module_::import_("velquor.const");
    nb::object names = pyapi::getattr_or_none(constants, "__all__");
    if (!names.is_valid()) names = nb::module_::import_("builtins").attr("dir")(constants);
    for (nb::handle name : names) {
        std::string n = nb::cast<std::string>(nb::str(name));
        if (!n.empty() && n[0] != '_') nb::setattr(m, name, constants.attr(name));
    }

    m.attr("OptimizeHelper") = nb::module_::import_("velquor.helper").attr("OptimizeHelper");
    nb::module_ benchmark = nb::module_::import_("velquor.benchmark");
    for (const char *name : {"IndexBenchmark", "OptimizeBenchmark"}) m.attr(name) = benchmark.attr(name);
    nb::module_ objective = nb::module_::import_("velquor.objective");
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
    m.attr("warnings").attr("warn")(message, nb::module_::import_("builtins").attr("RuntimeWarning"), 2);
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
    optimize::bind_prepare_request(m);
    // `from ... import *` takes the public names only, not the modules and classes imported above.
    m.attr("__all__") = nb::module_::import_("builtins").attr("list")(nb::make_tuple("portfolio_optimize", "prepare_request"));
}
