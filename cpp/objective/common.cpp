/// Steps that several objectives share: the budget check, active weights, return estimates and scales.
#include "objective/objective.hpp"

namespace velquor::objective {

using namespace nb::literals;

void check_budget(nb::handle zeta) {
    // `assert zeta == 1.0`: the interpreter drops asserts under -O, so the flag is read on every call.
    if (pyapi::truthy(pyapi::sys_attr("flags").attr("optimize"))) return;
    if (!pyapi::compare(zeta, nb::float_(1.0), pyapi::Cmp::eq)) pyapi::raise_bare(PyExc_AssertionError);
}

nb::object call_ensure_series(nb::handle value, const char *name) {
    return global("ensure_series")(value, nb::str(name));
}

bool certified_psd(nb::handle cov) {
    nb::object np = global("np");
    nb::object a;
    try {
        a = np.attr("asarray")(cov, "dtype"_a = builtin("float"));
    } catch (nb::python_error &e) {
        // Not a dense numeric matrix (sparse, objects, an expression): left to cvxpy entirely.
        if (e.matches(PyExc_Exception)) return false;
        throw;
    }
    nb::object shape = a.attr("shape");
    if (nb::len(shape) != 2 || !pyapi::compare(shape[0], shape[1], pyapi::Cmp::eq)) return false;
    // Symmetric as cvxpy tests it (NaNs fail there, infinities next), then positive semidefinite within
    // cvxpy's own eigenvalue tolerance: a Cholesky factorisation (LAPACK potrf) of P + tol * I exists exactly
    // when the smallest eigenvalue of P exceeds -tol.
    if (!pyapi::truthy(np.attr("allclose")(a, a.attr("T")))) return false;
    if (!pyapi::truthy(pyapi::call_method(np.attr("isfinite")(a), "all"))) return false;  // allclose passes inf
    nb::object tol = global("cp").attr("settings").attr("EIGVAL_TOL");
    // One copy, shifted on the diagonal, factorised in place (its transpose is the Fortran-ordered view LAPACK
    // works on without another copy; potrf reads one triangle). `info` reports failure, nothing is raised.
    nb::object shifted = a.attr("copy")();
    np.attr("fill_diagonal")(shifted, pyapi::add(np.attr("diagonal")(a), tol));
    nb::object potrf = nb::module_::import_("scipy.linalg.lapack").attr("dpotrf");
    nb::object result = potrf(shifted.attr("T"), "lower"_a = 1, "clean"_a = 0, "overwrite_a"_a = 1);
    return pyapi::compare(pyapi::getitem(result, nb::int_(1)), nb::int_(0), pyapi::Cmp::eq);
}

nb::object quad_form(nb::handle x, nb::handle cov) {
    // A covariance that carries its factor decomposition, cov = R R' + diag(d), is handed over as
    // ||R' x||^2 + ||sqrt(d) * x||^2: positive semidefinite by construction and the same value, but cvxpy
    // compiles and SCS factorises an (n + k)-row problem instead of a dense n x n block, which is what makes
    // pools of thousands of stocks fast.
    nb::object root = pyapi::getattr_or_none(cov, "factor_root");
    nb::object specific = pyapi::getattr_or_none(cov, "specific_variance");
    if (root.is_valid() && !root.is_none() && specific.is_valid() && !specific.is_none()) {
        nb::object cp = global("cp");
        nb::object systematic = cp.attr("sum_squares")(pyapi::matmul(root.attr("T"), x));
        nb::object idiosyncratic =
            cp.attr("sum_squares")(cp.attr("multiply")(global("np").attr("sqrt")(specific), x));
        return pyapi::add(systematic, idiosyncratic);
    }
    // Any other matrix is certified here, in one LAPACK factorisation: cvxpy's own check is an iterative
    // eigenvalue search that takes tens of seconds for a thousand stocks and can fail to converge on a valid
    // matrix (bench/bench_objective.py). A matrix that fails is handed to cvxpy unmarked, so that cvxpy
    // reports it as it would (not symmetric, not convex) instead of solving a wrong problem.
    nb::object cp = global("cp");
    if (certified_psd(cov)) return cp.attr("quad_form")(x, cov, "assume_PSD"_a = true);
    return cp.attr("quad_form")(x, cov);
}

nb::object active_weight(nb::handle g, nb::handle zeta, nb::handle helper) {
    // The union is measured first; it lists the pool in the order of g, then the other constituents.
    Py_ssize_t union_size = nb::len(pyapi::attr(helper, "union_components"));
    Py_ssize_t not_in_pool = union_size - nb::len(pyapi::attr(helper, "order_book_ids"));
    nb::object weights = nb::borrow(g);
    if (not_in_pool > 0) {
        nb::list parts;
        parts.append(g);
        parts.append(global("np").attr("repeat")(0.0, not_in_pool));
        weights = global("cp").attr("hstack")(parts);
    }
    nb::object benchmark = helper.attr("benchmark_weight").attr("values");
    if (zeta.is_valid()) benchmark = pyapi::mul(zeta, benchmark);
    return pyapi::sub(weights, benchmark);
}

nb::object active_variance(nb::handle g, nb::handle zeta, nb::handle helper) {
    nb::object w = active_weight(g, zeta, helper);
    return quad_form(w, helper.attr("get_union_cov_matrix")());
}

nb::object estimate_returns(nb::handle ids, nb::handle window, nb::handle helper) {
    nb::object zorvata = global("zorvata");
    nb::object start_date = zorvata.attr("trading_date_offset")(helper.attr("prev_trading_date"), pyapi::neg(window));
    nb::object rates = zorvata.attr("get_price_change_rate")(ids, start_date, helper.attr("prev_trading_date"));
    // Annualised with 252 trading days whatever the window.
    return pyapi::mul(rates.attr("mean")(), nb::int_(252));
}

nb::object estimate_active_returns(nb::handle ids, nb::handle window, nb::handle helper) {
    nb::object history_returns = estimate_returns(ids, window, helper);
    // The benchmark is asked for the request date, the stock history ends the trading day before.
    nb::object benchmark_returns = helper.attr("benchmark").attr("get_expected_returns")(helper.attr("date"), window);
    return pyapi::sub(history_returns, benchmark_returns);
}

nb::object returns_for_request(nb::handle self, nb::handle helper) {
    nb::object stored = self.attr("_expected_returns");
    nb::object ids = helper.attr("order_book_ids");
    nb::object window = self.attr("_window");
    nb::object key = nb::make_tuple(helper.attr("prev_trading_date"), window, builtin("tuple")(ids));
    if (!stored.is_none()) {
        // A series the object did not estimate itself is the caller's (given, or assigned later): used as is.
        nb::object made = pyapi::getattr_or_none(self, "_estimate");
        if (!made.is_valid() || made.is_none()) return stored;
        std::vector<nb::object> pair = pyapi::unpack(made, 2);
        if (!pair[1].is(stored) || pyapi::compare(pair[0], key, pyapi::Cmp::eq)) return stored;
    }
    nb::object estimate = estimate_returns(ids, window, helper);
    nb::setattr(self, "_expected_returns", estimate);
    nb::setattr(self, "_estimate", nb::make_tuple(key, estimate));
    return estimate;
}

nb::object float_values(nb::handle series) {
    nb::object numeric = global("pd").attr("to_numeric")(series, "errors"_a = "coerce");
    return numeric.attr("to_numpy")("dtype"_a = builtin("float"), "na_value"_a = global("np").attr("nan"));
}

nb::object align_returns(nb::handle returns, nb::handle ids, const char *owner, const char *name) {
    nb::object np = global("np");
    nb::object aligned = returns.attr("reindex")(ids, "fill_value"_a = 0.0);
    // NaN (an id without history in the window), infinities and non-numbers would reach the solver as a
    // NaN problem; they say no more than an absent id does, so they are treated alike, loudly.
    nb::object values = float_values(aligned);
    nb::object bad = np.attr("logical_not")(np.attr("isfinite")(values));
    if (pyapi::truthy(bad.attr("any")())) {
        nb::object labels = pyapi::getitem(aligned.attr("index"), bad).attr("tolist")();
        // stacklevel=3, counted as Python counts it (the driver's function object is a frame): the warning
        // names the code that called the optimisation.
        pyapi::warn_as_python(global("warnings"), global("OptimizerWarning"),
                              pyapi::format("{}: {} 中有 {} 个值不是有限数，按 0 处理：{}",
                                            {nb::str(owner), nb::str(name), nb::int_(nb::len(labels)), labels}),
                              3);
        values = np.attr("where")(bad, 0.0, values);
    }
    return values;
}

nb::object return_scale(nb::handle expected_returns) {
    nb::object np = global("np");
    nb::object positive = pyapi::richcompare(expected_returns, nb::int_(0), pyapi::Cmp::gt);
    if (pyapi::truthy(np.attr("any")(positive))) return pyapi::getitem(expected_returns, positive).attr("mean")();
    // No positive entry: the absolute mean of the largest quarter, `sorted[-len // 4:]` (floor division of
    // the negated length, so ceil(n / 4) entries).
    Py_ssize_t n = nb::len(expected_returns);
    Py_ssize_t start = -((n + 3) / 4);
    nb::object sorted = np.attr("sort")(expected_returns);
    nb::object top = pyapi::getitem(sorted, nb::slice(nb::int_(start), nb::none(), nb::none()));
    return np.attr("abs")(top.attr("mean")());
}

nb::object risk_adjust_factor(nb::handle expected_returns, nb::handle cov, Py_ssize_t count, nb::handle coefficient) {
    // `1 / count` with Python division: an empty id list fails here as it would in Python.
    nb::object weight = global("np").attr("repeat")(pyapi::truediv(nb::int_(1), nb::int_(count)), count);
    nb::object risk = weight.attr("dot")(cov).attr("dot")(weight);
    nb::object rtn = return_scale(expected_returns);
    return pyapi::mul(pyapi::truediv(rtn, risk), coefficient);
}

nb::object mean_variance_expr(nb::handle w, nb::handle expected_returns, nb::handle cov, nb::handle adjust_factor,
                              nb::handle transaction_cost) {
    nb::object expr = pyapi::matmul(pyapi::neg(w), expected_returns);
    expr = pyapi::add(expr, pyapi::mul(quad_form(w, cov), adjust_factor));
    return pyapi::add(expr, transaction_cost);
}

nb::object transaction_cost(nb::handle model, nb::handle g, nb::handle helper) {
    if (model.is_none()) return nb::int_(0);
    return model.attr("get_penalty")(g, helper);
}

bool all_zero(nb::handle values) {
    return pyapi::truthy(global("np").attr("all")(pyapi::richcompare(values, nb::int_(0), pyapi::Cmp::eq)));
}

}  // namespace velquor::objective
