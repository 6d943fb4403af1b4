/// Ratio objectives: MaxSharpeRatio and MaxInformationRatio, in the scale-free form with a variable budget.
#include "objective/objective.hpp"

namespace velquor::objective {

namespace {

constexpr const char *kMaxInformationRatioDoc =
    "\n"
    "    最大信息比率\n"
    "\n"
    "    :param expected_active_returns: 预期主动收益率。不传入时，使用历史收益率估计。\n"
    "    :type expected_active_returns: None | pd.Series\n"
    "    :param window: 使用历史收益率估计预期主动收益时，取历史收益的长度，默认为252，即一年\n"
    "    ";

constexpr const char *kMaxSharpeRatioDoc =
    "\n"
    "    最大化夏普比率\n"
    "\n"
    "    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。\n"
    "    :type expected_returns: None | pd.Series\n"
    "    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年\n"
    "    ";

/// `__init__(self, *, <returns>=None, window=252)`.
/// Where init reads its parameters; def_init checks them by name.
namespace init_at {
constexpr pyapi::Param SELF{0}, RETURNS{1}, WINDOW{2};
}

template <class Kind>
nb::object init(pyapi::Arguments &a) {
    nb::handle self = a[init_at::SELF], window = a[init_at::WINDOW];
    nb::object returns = nb::borrow(a[init_at::RETURNS]);
    if (!returns.is_none()) returns = call_ensure_series(returns, Kind::param);
    nb::setattr(self, Kind::attr, returns);
    nb::setattr(self, "_window", window);
    return nb::none();
}

template <class Kind>
void def_init(nb::handle cls) {
    objective::def_init(cls, {}, {Kind::param, "window"}, {nb::none(), nb::int_(252)}, init<Kind>,
                        {{"self", init_at::SELF}, {Kind::param, init_at::RETURNS}, {"window", init_at::WINDOW}});
}

// Neither ratio objective checks zeta: here it is the driver's budget variable.

/// The single constraint of the ratio objectives, `g @ expected_returns == 1`. A constant vector carries no
/// preference and becomes all ones (the ratio problem turns into plain variance). A vector with a positive
/// entry is used as given: some nonnegative g reaches a return of 1. Only when no entry is positive is the
/// mean subtracted, which leaves positive entries, with `no_positive` as an OptimizerWarning.
nb::object ratio_constraints(nb::handle g, nb::handle expected_returns, const char *no_positive) {
    nb::object np = global("np");
    nb::object returns = nb::borrow(expected_returns);
    Py_ssize_t n = nb::len(returns);
    nb::object first = pyapi::getitem(returns, nb::int_(0));
    if (pyapi::truthy(np.attr("all")(pyapi::richcompare(returns, first, pyapi::Cmp::eq)))) {
        returns = np.attr("repeat")(1.0, n);
    } else if (!pyapi::truthy(np.attr("any")(pyapi::richcompare(returns, nb::int_(0), pyapi::Cmp::gt)))) {
        // stacklevel=3 as Python counts it: the code that called the optimisation.
        pyapi::warn_as_python(global("warnings"), global("OptimizerWarning"), nb::str(no_positive), 3);
        returns = pyapi::sub(returns, returns.attr("mean")());
    }
    nb::list constraints;
    constraints.append(pyapi::richcompare(pyapi::matmul(g, returns), nb::int_(1), pyapi::Cmp::eq));
    return constraints;
}

nb::object information_ratio_expr(pyapi::Arguments &a) {
    return active_variance(a[method::g], a[method::zeta], a[method::helper]);
}

nb::object information_ratio_constraints(pyapi::Arguments &a) {
    nb::handle self = a[method::self], g = a[method::g], helper = a[method::helper];
    nb::object ids = helper.attr("order_book_ids");
    // Never stored: every request estimates again.
    nb::object returns = self.attr("_expected_active_returns");
    if (returns.is_none()) returns = estimate_active_returns(ids, self.attr("_window"), helper);
    nb::object aligned = align_returns(returns, ids, "MaxInformationRatio", "expected_active_returns");
    return ratio_constraints(g, aligned, "MaxInformationRatio: no stock has a positive expected active return; "
                             "the expected active returns are used minus their mean");
}

nb::object sharpe_ratio_expr(pyapi::Arguments &a) { return quad_form(a[method::g], a[method::helper].attr("get_cov_matrix")()); }

nb::object sharpe_ratio_constraints(pyapi::Arguments &a) {
    nb::handle self = a[method::self], g = a[method::g], helper = a[method::helper];
    nb::object ids = helper.attr("order_book_ids");
    nb::object aligned = align_returns(returns_for_request(self, helper), ids, "MaxSharpeRatio", "expected_returns");
    return ratio_constraints(g, aligned, "MaxSharpeRatio: no stock has a positive expected return; "
                             "the expected returns are used minus their mean");
}

}  // namespace

void bind_max_information_ratio(nb::module_ &m) {
    nb::object cls = make_objective_class(m, "MaxInformationRatio", kMaxInformationRatioDoc);
    def_init<ActiveReturns>(cls);
    def_method(cls, "get_objective_expr", {"g", "zeta", "helper"}, information_ratio_expr);
    def_method(cls, "get_internal_constraints", {"g", "zeta", "helper"}, information_ratio_constraints);
    def_scs_solver(cls);
}

void bind_max_sharpe_ratio(nb::module_ &m) {
    nb::object cls = make_objective_class(m, "MaxSharpeRatio", kMaxSharpeRatioDoc);
    def_init<AbsoluteReturns>(cls);
    def_method(cls, "get_objective_expr", {"g", "zeta", "helper"}, sharpe_ratio_expr);
    def_method(cls, "get_internal_constraints", {"g", "zeta", "helper"}, sharpe_ratio_constraints);
    def_scs_solver(cls);
}

}  // namespace velquor::objective
