/// velquor.constraint: module initialisation (imports, the base class, the constraint kinds, diagnose).
#include "constraint/constraint.hpp"

namespace nb = nanobind;
using namespace velquor;

NB_MODULE(constraint, m) {
    pyapi::register_function_type(m);
    m.attr("ABCMeta") = nb::module_::import_("abc").attr("ABCMeta");
    m.attr("warnings") = nb::module_::import_("warnings");
    m.attr("cp") = nb::module_::import_("cvxpy");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("pd") = nb::module_::import_("pandas");
    m.attr("zorvata") = nb::module_::import_("zorvata");
    nb::module_ exception = nb::module_::import_("velquor.exception");
    for (const char *name : {"InvalidArgument", "OptimizationFailed", "OptimizerWarning"})
        m.attr(name) = exception.attr(name);
    nb::module_ constants = nb::module_::import_("velquor.const");
    for (const char *name : {"STYLE_FACTORS", "IndustryClassification"}) m.attr(name) = constants.attr(name);
    // diagnose reads a request through velquor.optimize's namespace, exactly as portfolio_optimize does.
    m.attr("optimize") = nb::module_::import_("velquor.optimize");

    // What the trading kinds read from the market data (flags, traded values), in Python beside the cost model.
    m.attr("market") = nb::module_::import_("velquor.trading.market");

    // The base class, then the kinds in the order of the public class table.
    constraint::bind_interface(m);
    constraint::bind_tracking_error(m);
    constraint::bind_turnover(m);
    constraint::bind_benchmark_component(m);
    constraint::bind_industry(m);
    constraint::bind_style(m);
    constraint::bind_industry_component(m);
    constraint::bind_trading(m);
    constraint::bind_diagnose(m);
    // `from ... import *` takes the public names only, not the modules and classes imported above.
    m.attr("__all__") = nb::module_::import_("builtins").attr("list")(nb::make_tuple("OptimizationConstraint", "TrackingErrorLimit", "TurnoverLimit",
                                       "BenchmarkComponentWeightLimit", "IndustryConstraint", "WildcardIndustryConstraint",
                                       "StyleConstraint", "WildcardStyleConstraint", "IndustryComponentLimit",
                                       "TradabilityConstraint", "LiquidityLimit", "diagnose"));
}
