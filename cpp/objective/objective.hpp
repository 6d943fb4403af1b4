/// Declarations shared by the translation units of the objective module.
#pragma once

#include "pyapi/pyapi.hpp"

#include <string>
#include <vector>

namespace velquor::objective {

namespace nb = nanobind;

/// A global name of the running method's module, looked up at the moment of use (`cp`, `np`, `pd`,
/// `zorvata`, `InvalidArgument`, ...); NameError when it is not bound.
inline nb::object global(pyapi::Name name) { return pyapi::globals().attr(name); }

/// A builtin (`float`, `int`, `set`), looked up as a global name is (the module's own binding first).
inline nb::object builtin(pyapi::Name name) { return global(name); }

// ---------------------------------------------------------------------------------------------------------
// Binding

/// Creates the class `name` (metaclass `ABCMeta`, base `OptimizationObjective`) and stores it in the module.
nb::object make_objective_class(nb::module_ &m, const char *name, const char *doc, bool has_doc = true);

/// The parameters of the objective methods that take the request (`get_objective_expr`,
/// `get_internal_constraints`): `(self, g, zeta, helper)`. def_method checks them by name.
namespace method {
inline constexpr pyapi::Param self{0}, g{1}, zeta{2}, helper{3};
}

/// Stores a method `name` on `cls`: `params` are the positional-or-keyword parameters after `self`.
void def_method(nb::handle cls, const char *name, std::vector<std::string> params, pyapi::Impl impl,
                std::source_location where = std::source_location::current());

/// Stores `__init__(self, *, <kwonly>)` (or with `positional` before the star) on `cls`.
/// `reads` lists where the implementation reads each parameter; checked by name here.
void def_init(nb::handle cls, std::vector<std::string> positional, std::vector<std::string> kwonly,
              std::vector<nb::object> kwdefaults, pyapi::Impl impl, pyapi::Reads reads,
              std::source_location where = std::source_location::current());

/// Stores `get_internal_constraints` returning a new empty list and `get_preferred_solver` returning `cp.SCS`.
void def_plain_constraints_and_solver(nb::handle cls);
/// Stores `get_preferred_solver` returning `cp.SCS`.
void def_scs_solver(nb::handle cls);

/// Binds ensure_series and OptimizationObjective (in this order).
void bind_interface(nb::module_ &m);
/// Binding of each objective family; module.cpp calls them in the order of the public class table.
void bind_min_variance(nb::module_ &m);
void bind_min_active_variance(nb::module_ &m);
void bind_mean_variance(nb::module_ &m);
void bind_active_mean_variance(nb::module_ &m);
void bind_risk_parity(nb::module_ &m);
void bind_min_tracking_error(nb::module_ &m);
void bind_max_information_ratio(nb::module_ &m);
void bind_max_sharpe_ratio(nb::module_ &m);
void bind_max_indicator(nb::module_ &m);
void bind_min_style_deviation(nb::module_ &m);

// ---------------------------------------------------------------------------------------------------------
// Steps shared by several objectives (each lives in exactly one place)

/// The parameter and attribute names of expected returns, for the absolute and the active objectives.
struct AbsoluteReturns {
    static constexpr const char *param = "expected_returns";
    static constexpr const char *attr = "_expected_returns";
};
struct ActiveReturns {
    static constexpr const char *param = "expected_active_returns";
    static constexpr const char *attr = "_expected_active_returns";
};

/// `assert zeta == 1.0`: a bare AssertionError when it fails; skipped while `sys.flags.optimize` is set.
void check_budget(nb::handle zeta);

/// `ensure_series(value, name)` through the module namespace (a patched `ensure_series` is honoured).
nb::object call_ensure_series(nb::handle value, const char *name);

/// True when `cov` is a dense, symmetric matrix whose smallest eigenvalue is above -cvxpy's eigenvalue
/// tolerance (one Cholesky factorisation).
bool certified_psd(nb::handle cov);

/// `cp.quad_form(x, P)`. A matrix carrying `factor_root` R and `specific_variance` d (P = R R' + diag(d)) is
/// expressed in factor form; any other is marked PSD when `certified_psd` holds and handed to cvxpy unmarked
/// otherwise (cvxpy then raises its own error).
nb::object quad_form(nb::handle x, nb::handle cov);

/// The portfolio's weights over `helper.union_components` minus the benchmark's: `g` followed by zeros for
/// the constituents outside the pool, minus `zeta * benchmark_weight.values` (`zeta` empty: unscaled).
nb::object active_weight(nb::handle g, nb::handle zeta, nb::handle helper);

/// `quad_form(active_weight(g, zeta, helper), helper.get_union_cov_matrix())`: the variance of the active weights.
nb::object active_variance(nb::handle g, nb::handle zeta, nb::handle helper);

/// Mean daily price change of `ids` over the `window` trading days before `helper.prev_trading_date`,
/// annualised with 252 (a series by id).
nb::object estimate_returns(nb::handle ids, nb::handle window, nb::handle helper);
/// The same minus the benchmark's expected return for `helper.date`.
nb::object estimate_active_returns(nb::handle ids, nb::handle window, nb::handle helper);

/// The expected returns of `MeanVariance` and `MaxSharpeRatio` for this request: the caller's series, or the
/// estimate for the request's previous trading date, window and pool. An estimate is written back to
/// `_expected_returns` (before any later step can fail) and serves only requests with the same three; another
/// date or pool estimates again and stores the new one. `_estimate` remembers what the stored one was made for.
nb::object returns_for_request(nb::handle self, nb::handle helper);

/// The values of a series as a float array; entries that are no number (None, text, pd.NA) become NaN.
nb::object float_values(nb::handle series);

/// `returns.reindex(ids, fill_value=0.0)` as a float array. Entries that are no finite number carry no
/// information, like ids missing from the series: they become 0.0 with an OptimizerWarning naming them.
/// `owner` and `name` label the warning ("MeanVariance", "expected_returns").
nb::object align_returns(nb::handle returns, nb::handle ids, const char *owner, const char *name);

/// The return scale of the mean-variance objectives: the mean of the positive entries, else the absolute
/// mean of the largest quarter.
nb::object return_scale(nb::handle expected_returns);

/// `rtn / risk * risk_aversion_coefficient`, `risk` the variance of the equal-weight portfolio of `count`.
nb::object risk_adjust_factor(nb::handle expected_returns, nb::handle cov, Py_ssize_t count, nb::handle coefficient);

/// `-w @ expected_returns + quad_form(w, cov) * adjust_factor + transaction_cost`.
nb::object mean_variance_expr(nb::handle w, nb::handle expected_returns, nb::handle cov, nb::handle adjust_factor,
                              nb::handle transaction_cost);

/// `model.get_penalty(g, helper)`, or the integer 0 without a model.
nb::object transaction_cost(nb::handle model, nb::handle g, nb::handle helper);

/// True when every entry of the array equals 0.
bool all_zero(nb::handle values);

}  // namespace velquor::objective
