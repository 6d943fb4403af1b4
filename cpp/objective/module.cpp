/// velquor.objective: module initialisation (imports, ensure_series, the objective classes).
#include "objective/objective.hpp"

namespace nb = nanobind;
using namespace velquor;

NB_MODULE(objective, m) {
    pyapi::register_function_type(m);
    m.attr("ABCMeta") = nb::module_::import_("abc").attr("ABCMeta");
    m.attr("warnings") = nb::module_::import_("warnings");
    m.attr("cp") = nb::module_::import_("cvxpy");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("pd") = nb::module_::import_("pandas");
    m.attr("zorvata") = nb::module_::import_("zorvata");
    nb::module_ exception = nb::module_::import_("velquor.exception");
    m.attr("InvalidArgument") = exception.attr("InvalidArgument");
    m.attr("OptimizerWarning") = exception.attr("OptimizerWarning");
    m.attr("STYLE_FACTORS") = nb::module_::import_("velquor.const").attr("STYLE_FACTORS");

    // ensure_series and the base class, then the objectives in the order of the public class table.
    objective::bind_interface(m);
    objective::bind_min_variance(m);
    objective::bind_min_active_variance(m);
    objective::bind_mean_variance(m);
    objective::bind_active_mean_variance(m);
    objective::bind_risk_parity(m);
    objective::bind_min_tracking_error(m);
    objective::bind_max_information_ratio(m);
    objective::bind_max_sharpe_ratio(m);
    objective::bind_max_indicator(m);
    objective::bind_min_style_deviation(m);
    // `from ... import *` takes the public names only, not the modules and classes imported above.
    m.attr("__all__") = nb::module_::import_("builtins").attr("list")(nb::make_tuple("OptimizationObjective", "MinVariance", "MinActiveVariance", "MeanVariance",
                                       "ActiveMeanVariance", "RiskParity", "MinTrackingError", "MaxInformationRatio",
                                       "MaxSharpeRatio", "MaxIndicator", "MinStyleDeviation"));
}
