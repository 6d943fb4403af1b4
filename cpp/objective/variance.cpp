/// Variance objectives: MinVariance, MinActiveVariance, MinTrackingError.
#include "objective/objective.hpp"

namespace velquor::objective {

namespace {

nb::object min_variance_expr(pyapi::Arguments &a) {
    nb::handle g = a[method::g], zeta = a[method::zeta], helper = a[method::helper];
    check_budget(zeta);
    return quad_form(g, helper.attr("get_cov_matrix")());
}

nb::object min_active_variance_expr(pyapi::Arguments &a) {
    nb::handle g = a[method::g], zeta = a[method::zeta], helper = a[method::helper];
    check_budget(zeta);
    return active_variance(g, zeta, helper);
}

nb::object min_tracking_error_expr(pyapi::Arguments &a) {
    nb::handle g = a[method::g], zeta = a[method::zeta], helper = a[method::helper];
    check_budget(zeta);
    // The benchmark weights enter unscaled: no zeta factor.
    return active_variance(g, nb::handle(), helper);
}

}  // namespace

void bind_min_variance(nb::module_ &m) {
    nb::object cls = make_objective_class(m, "MinVariance", "风险最小化");
    def_method(cls, "get_objective_expr", {"g", "zeta", "helper"}, min_variance_expr);
    def_plain_constraints_and_solver(cls);
}

void bind_min_active_variance(nb::module_ &m) {
    nb::object cls = make_objective_class(m, "MinActiveVariance", "主动风险最小化");
    def_method(cls, "get_objective_expr", {"g", "zeta", "helper"}, min_active_variance_expr);
    def_plain_constraints_and_solver(cls);
}

void bind_min_tracking_error(nb::module_ &m) {
    nb::object cls = make_objective_class(m, "MinTrackingError", "最小追踪误差");
    def_method(cls, "get_objective_expr", {"g", "zeta", "helper"}, min_tracking_error_expr);
    def_plain_constraints_and_solver(cls);
}

}  // namespace velquor::objective
