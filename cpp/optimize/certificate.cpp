/// The certificate of an answer: every constraint of the request measured at the solution, in its own units.
///
/// The check protocol, which every constraint kind follows (the kinds of velquor.constraint and a caller's
/// own subclasses of OptimizationConstraint alike):
///
/// * `to_constraints(g, zeta, helper)` returns rows that are homogeneous in (g, zeta): every constant of a
///   row is multiplied by zeta, so that the rows hold for g = zeta * w exactly when they hold for w at
///   zeta = 1 (the ratio objectives' budget is a free zeta; risk parity's is the pool size).
/// * At zeta = 1 a row is written in the constraint's own units: weights for bounds, industry totals and
///   constituents' weights, exposures for styles, one-way turnover, annualised tracking error for the
///   tracking-error cone. A kind that rescales its rows for the solver's sake must scale them back to its
///   own units, or its certificate is measured in the wrong ones.
/// * A row is measured by how far it is from holding: an inequality by the excess of its left side over its
///   right, an equality by the absolute difference, a second-order cone `||x|| <= t` by `||x|| - t`, any
///   other cone by cvxpy's `violation()`. A source's violation is the largest of its rows'.
///
/// The driver measures every row at g = zeta * w, w the weights it is about to return and zeta the solved
/// budget scale (the constant, or the variable's value), and divides by zeta. The objective's own rows are
/// measured the same way when zeta is a constant. When zeta is a variable (the ratio objectives) they fix
/// the scale of g, `g @ r == 1`, which the returned weights do not carry (any w with a positive `w @ r`
/// meets it for some zeta): they are no constraint on the answer and are not measured. (Measured at the
/// solver's point they failed whole-market MaxSharpeRatio requests on a residual of 3e-6 that moves no
/// weight.)
#include "optimize/driver.hpp"

#include <algorithm>
#include <cmath>

namespace velquor::optimize {

namespace {

using namespace nb::literals;

double to_double(nb::handle value) { return nb::cast<double>(pyapi::to_float(value)); }

/// How far one cvxpy constraint is from holding at the variables' current values; NaN when it cannot be
/// evaluated (a variable without a value, a NaN in the data): such a row certifies nothing.
double row_violation(const pyapi::Globals &m, nb::handle row) {
    nb::object np = m.attr("np");
    nb::object types = m.attr("cp").attr("constraints");
    try {
        nb::object amount;
        if (pyapi::isinstance(row, types.attr("SOC"))) {
            nb::object args = row.attr("args");
            nb::object t = pyapi::getitem(args, nb::int_(0)).attr("value");
            nb::object x = pyapi::getitem(args, nb::int_(1)).attr("value");
            if (t.is_none() || x.is_none()) return NAN;
            // One cone (a scalar t): ||x|| - t itself; cvxpy's violation is the distance to the cone, which
            // understates it by up to a factor sqrt(2).
            if (nb::cast<Py_ssize_t>(np.attr("size")(t)) == 1)
                amount = pyapi::sub(np.attr("linalg").attr("norm")(x), np.attr("sum")(t));
            else
                amount = row.attr("violation")();
        } else {
            amount = row.attr("violation")();
        }
        if (nb::cast<Py_ssize_t>(np.attr("size")(amount)) == 0) return 0.0;
        double worst = to_double(np.attr("max")(amount));
        return std::isfinite(worst) ? std::max(worst, 0.0) : NAN;
    } catch (nb::python_error &e) {
        // cvxpy refuses to measure a row whose expression has no value.
        if (e.matches(PyExc_ValueError)) return NAN;
        throw;
    }
}

}  // namespace

void add_source(Request &r, nb::object label, nb::handle items, bool hard, bool internal) {
    nb::list &target = hard ? r.hard_cons : r.soft_cons;
    Source source;
    source.label = std::move(label);
    source.begin = nb::len(target);
    for (nb::handle c : items) target.append(c);
    source.end = nb::len(target);
    source.hard = hard;
    source.internal = internal;
    if (source.end > source.begin) r.sources.push_back(std::move(source));
}

Violation certify(Request &r, nb::handle weights, double tolerance) {
    auto m = self();
    nb::object cp = m.attr("cp"), np = m.attr("np");

    Violation worst_hard, worst_soft;
    auto measure = [&](const Source &source, double scale) {
        const nb::list &rows = source.hard ? r.hard_cons : r.soft_cons;
        double worst = 0.0;
        for (Py_ssize_t i = source.begin; i < source.end; ++i) {
            double v = row_violation(m, rows[i]) / scale;
            if (std::isnan(v) || v > worst) worst = v;
            if (std::isnan(worst)) break;
        }
        Violation &slot = source.hard ? worst_hard : worst_soft;
        bool beyond = std::isnan(worst) || worst > tolerance;
        if (beyond && (slot.source == nullptr || std::isnan(worst) || worst > slot.amount)) slot = {&source, worst};
    };
    // g = zeta * w, zeta at its solved value: homogeneous rows then measure w itself once divided by zeta.
    const bool variable_zeta = pyapi::isinstance(r.zeta, cp.attr("Variable"));
    nb::object zeta_value = variable_zeta ? r.zeta.attr("value") : r.zeta;
    double scale = zeta_value.is_none() ? NAN : to_double(zeta_value);
    if (!(scale > 0.0) || !std::isfinite(scale)) {
        scale = 1.0;
        if (variable_zeta) nb::setattr(r.zeta, "value", nb::float_(1.0));
    }
    nb::setattr(r.g, "value", pyapi::mul(nb::float_(scale), weights));

    for (const Source &source : r.sources)
        if (!(source.internal && variable_zeta)) measure(source, scale);
    return worst_hard.source != nullptr ? worst_hard : worst_soft;
}

}  // namespace velquor::optimize
