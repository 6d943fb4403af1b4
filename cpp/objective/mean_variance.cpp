/// Mean-variance objectives: MeanVariance (absolute) and ActiveMeanVariance (against the benchmark).
#include "objective/objective.hpp"

namespace velquor::objective {

namespace {

constexpr const char *kMeanVarianceDoc =
    "\n"
    "    收益/风险优化\n"
    "\n"
    "    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。\n"
    "    :type expected_returns: None | pd.Series\n"
    "    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年\n"
    "    :param risk_aversion_coefficient: 风险厌恶系数\n"
    "    :param transaction_cost_model: 交易成本模型实例；默认为 None，不考虑交易成本\n"
    "    ";

constexpr const char *kActiveMeanVarianceDoc =
    "\n"
    "    主动收益/主动风险优化\n"
    "\n"
    "    :param expected_active_returns: 预期主动收益率。当不传入时，默认使用历史收益率估计。\n"
    "    :type expected_active_returns: None | pd.Series\n"
    "    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年\n"
    "    :param risk_aversion_coefficient: 风险厌恶系数\n"
    "    :param transaction_cost_model: 交易成本模型；默认为 None，不考虑交易成本\n"
    "    ";

/// `__init__(self, *, <returns>=None, window=252, risk_aversion_coefficient=1, transaction_cost_model=None)`.
/// Where init reads its parameters; def_init checks them by name.
namespace init_at {
constexpr pyapi::Param SELF{0}, RETURNS{1}, WINDOW{2}, COEFFICIENT{3}, MODEL{4};
}

template <class Kind>
nb::object init(pyapi::Arguments &a) {
    nb::handle self = a[init_at::SELF], window = a[init_at::WINDOW], coefficient = a[init_at::COEFFICIENT],
               model = a[init_at::MODEL];
    nb::object returns = nb::borrow(a[init_at::RETURNS]);
    if (!returns.is_none()) returns = call_ensure_series(returns, Kind::param);
    // The series argument is checked first, so a bad series is reported before a bad coefficient.
    if (pyapi::compare(coefficient, nb::int_(0), pyapi::Cmp::lt))
        pyapi::raise(global("InvalidArgument"),
                     pyapi::format("risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{}", {coefficient}));
    nb::setattr(self, Kind::attr, returns);
    nb::setattr(self, "_risk_aversion_coefficient", coefficient);
    nb::setattr(self, "_window", window);
    nb::setattr(self, "_transaction_cost_model", model);
    return nb::none();
}

template <class Kind>
void def_init(nb::handle cls) {
    objective::def_init(cls, {}, {Kind::param, "window", "risk_aversion_coefficient", "transaction_cost_model"},
                        {nb::none(), nb::int_(252), nb::int_(1), nb::none()}, init<Kind>,
                        {{"self", init_at::SELF},
                         {Kind::param, init_at::RETURNS},
                         {"window", init_at::WINDOW},
                         {"risk_aversion_coefficient", init_at::COEFFICIENT},
                         {"transaction_cost_model", init_at::MODEL}});
}

nb::object mean_variance_expr(pyapi::Arguments &a) {
    nb::handle self = a[method::self], g = a[method::g], zeta = a[method::zeta], helper = a[method::helper];
    check_budget(zeta);
    nb::object ids = helper.attr("order_book_ids");
    nb::object expected_returns = align_returns(returns_for_request(self, helper), ids, "MeanVariance", "expected_returns");
    nb::object cost = transaction_cost(self.attr("_transaction_cost_model"), g, helper);
    if (all_zero(expected_returns)) {
        // stacklevel=3 as Python counts it: the code that called the optimisation.
        pyapi::warn_as_python(global("warnings"), global("OptimizerWarning"),
                              nb::str("MeanVariance: expected_returns 全部为 0，退化为 MinVariance"), 3);
        return pyapi::add(quad_form(g, helper.attr("get_cov_matrix")()), cost);
    }
    nb::object cov = helper.attr("get_cov_matrix")();
    nb::object factor = risk_adjust_factor(expected_returns, cov, nb::len(ids),
                                           self.attr("_risk_aversion_coefficient"));
    return objective::mean_variance_expr(g, expected_returns, cov, factor, cost);
}

nb::object active_mean_variance_expr(pyapi::Arguments &a) {
    nb::handle self = a[method::self], g = a[method::g], zeta = a[method::zeta], helper = a[method::helper];
    check_budget(zeta);
    nb::object ids = helper.attr("union_components");
    // Never stored: every request estimates again.
    nb::object returns = self.attr("_expected_active_returns");
    if (returns.is_none()) returns = estimate_active_returns(ids, self.attr("_window"), helper);
    nb::object expected_returns = align_returns(returns, ids, "ActiveMeanVariance", "expected_active_returns");
    nb::object w = active_weight(g, zeta, helper);
    if (all_zero(expected_returns)) {
        // stacklevel=3 as Python counts it. The transaction cost is not consulted on this path.
        pyapi::warn_as_python(global("warnings"), global("OptimizerWarning"),
                              nb::str("ActiveMeanVariance: active_expected_returns 全部为 0，退化为 MinVariance"), 3);
        return quad_form(w, helper.attr("get_union_cov_matrix")());
    }
    nb::object cov = helper.attr("get_union_cov_matrix")();
    nb::object factor = risk_adjust_factor(expected_returns, cov, nb::len(ids),
                                           self.attr("_risk_aversion_coefficient"));
    nb::object cost = transaction_cost(self.attr("_transaction_cost_model"), g, helper);
    return objective::mean_variance_expr(w, expected_returns, cov, factor, cost);
}

}  // namespace

void bind_mean_variance(nb::module_ &m) {
    nb::object cls = make_objective_class(m, "MeanVariance", kMeanVarianceDoc);
    def_init<AbsoluteReturns>(cls);
    def_method(cls, "get_objective_expr", {"g", "zeta", "helper"}, mean_variance_expr);
    def_plain_constraints_and_solver(cls);
}

void bind_active_mean_variance(nb::module_ &m) {
    nb::object cls = make_objective_class(m, "ActiveMeanVariance", kActiveMeanVarianceDoc);
    def_init<ActiveReturns>(cls);
    def_method(cls, "get_objective_expr", {"g", "zeta", "helper"}, active_mean_variance_expr);
    def_plain_constraints_and_solver(cls);
}

}  // namespace velquor::objective
