/// velquor.objective: module initialisation (imports, ensure_series, the objective classes).
#include "objective/objective.hpp"

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
}
