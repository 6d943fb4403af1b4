/// Declarations shared by the translation units of the constraint module.
#pragma once

#include "pyapi/pyapi.hpp"

#include <optional>
#include <string>
#include <vector>

namespace velquor::constraint {

namespace nb = nanobind;

/// The namespace of the running function (the module's): its names are the collaborators, looked up at the
/// moment of use (late binding).
inline pyapi::Globals self() { return pyapi::globals(); }

/// A global name of the running function's module at call time (`cp`, `np`, `pd`, `zorvata`,
/// `InvalidArgument`, ...); NameError when it is not bound.
inline nb::object global(pyapi::Name name) { return self().attr(name); }

/// A builtin (`float`, `list`, `set`, ...), looked up as a global name is (the module's own binding first).
inline nb::object builtin(pyapi::Name name) { return global(name); }

/// `raise InvalidArgument(message)` through the module namespace.
[[noreturn]] void invalid(nb::handle message);

// ---------------------------------------------------------------------------------------------------------
// Binding

/// One parameter of a constructor: its name and default (an empty object: required).
/// A parameter of a constraint's `__init__`, where the implementation reads it (`at`, checked by name when
/// the class is bound: inserting or moving a parameter fails the import instead of shifting reads), and its
/// default (none: required).
struct Param {
    const char *name;
    pyapi::Param at;
    nb::object default_value = nb::object();
};

/// Where `__init__` finds `self`, and `to_constraints(self, g, zeta, helper)` its parameters.
namespace method {
inline constexpr pyapi::Param self{0}, g{1}, zeta{2}, helper{3};
}

/// Creates the class `name` (metaclass `ABCMeta`, base `OptimizationConstraint`) and stores it in the module.
nb::object make_constraint_class(nb::module_ &m, const char *name, const char *doc);

/// Stores `__init__(self, <params>)` on `cls`; every parameter is positional-or-keyword.
void def_init(nb::handle cls, const std::vector<Param> &params, pyapi::Impl impl);

/// Stores `to_constraints(self, g, zeta, helper)` on `cls` and recomputes the class's abstract methods.
///
/// What every kind's rows must be, because portfolio_optimize certifies its answer with them
/// (cpp/optimize/certificate.cpp): homogeneous in (g, zeta) -- every constant multiplied by zeta -- and, at
/// zeta = 1, written in the kind's own units (weight, exposure, one-way turnover, annualised tracking
/// error). The driver measures each row at the returned weights and fails the request when a hard kind
/// exceeds 1e-6 in those units after one tighter re-solve; a kind that scales its rows for the solver's
/// sake must not, or its tolerance changes with the scale.
void def_to_constraints(nb::handle cls, pyapi::Impl impl);

/// Binds the base class OptimizationConstraint.
void bind_interface(nb::module_ &m);
/// Binding of each constraint family; module.cpp calls them in the order of the public class table.
void bind_tracking_error(nb::module_ &m);
void bind_turnover(nb::module_ &m);
void bind_benchmark_component(nb::module_ &m);
void bind_industry(nb::module_ &m);
void bind_style(nb::module_ &m);
void bind_industry_component(nb::module_ &m);
void bind_trading(nb::module_ &m);
void bind_diagnose(nb::module_ &m);

// ---------------------------------------------------------------------------------------------------------
// Argument checks (checks.cpp); `owner` names the class in messages ("TurnoverLimit")

/// Inclusive range of a limit; `lo`/`hi` empty: unbounded on that side.
struct Range {
    std::optional<double> lo, hi;
};

/// A limit as a Python float: a real number (not a bool), finite and inside `range`; None passes when
/// `allow_none` (and is returned as None).
nb::object check_limit(const char *owner, const char *name, nb::handle value, Range range, bool allow_none);

/// The pair (lower_limit, upper_limit) of a two-sided constraint: at least one given, lower <= upper.
std::pair<nb::object, nb::object> check_bounds(const char *owner, nb::handle lower, nb::handle upper, Range range);

/// One text or an iterable of texts as a new list of texts; empty is rejected (`allow_empty` false).
nb::list text_list(const char *owner, const char *name, nb::handle value, bool allow_empty);

/// `classification` as an IndustryClassification member (a member or its text, case-insensitive).
nb::object check_classification(const char *owner, nb::handle value);

/// The industry codes of `names` (codes or names as the market data stores them) under `classification`;
/// an unknown one raises InvalidArgument listing the valid codes and names.
nb::list industry_codes(const char *owner, nb::handle names, nb::handle classification);

/// `current_holdings` as a float Series by id: nonnegative finite weights summing to at most 1, ids unique.
nb::object check_holdings(const char *owner, nb::handle value);

/// Checks every entry of `names` is a style of STYLE_FACTORS; returns them as a list.
nb::list check_styles(const char *owner, const char *name, nb::handle styles, bool allow_empty);

// ---------------------------------------------------------------------------------------------------------
// What the constraints read from the helper (common.cpp)

/// Raises InvalidArgument when the request has no benchmark: "<owner> needs a benchmark ...".
void require_benchmark(const char *owner, nb::handle helper);

/// Number of stocks in the pool.
Py_ssize_t pool_size(nb::handle helper);

/// The benchmark's weights over `helper.union_components` as a float array (zeros without a benchmark).
nb::object benchmark_weights(nb::handle helper);

/// The same weights divided by their total (the benchmark as a portfolio); zeros when the total is 0.
nb::object benchmark_portfolio(nb::handle helper);

/// `g` followed by zeros for the union members outside the pool (as the objectives' active weights).
nb::object union_weights(nb::handle g, nb::handle helper);

/// `zeta * values` with the cvxpy object, if any, on the left (an array on the left of a variable would
/// broadcast element by element into an object array).
nb::object scaled(nb::handle zeta, nb::handle values);

/// Appends `lhs >= zeta * lower` and `lhs <= zeta * upper` (each only when its limit is not None) to `out`;
/// `offset` (an array or empty) is added to both limits before scaling: the benchmark's side of a relative
/// constraint.
void append_two_sided(nb::list &out, nb::handle lhs, nb::handle zeta, nb::handle lower, nb::handle upper,
                      nb::handle offset);

}  // namespace velquor::constraint
