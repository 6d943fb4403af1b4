/// Risk parity: variance minus a logarithmic barrier on the weights.
#include "objective/objective.hpp"

namespace velquor::objective {

namespace {

nb::object risk_parity_expr(pyapi::Arguments &a) {
    nb::handle g = a[method::g], helper = a[method::helper];
    // No budget check: the driver hands this objective zeta = n, or no budget constraint at all.
    nb::object cp = global("cp");
    nb::object risk = quad_form(g, helper.attr("get_cov_matrix")());
    nb::object barrier = cp.attr("sum")(cp.attr("log")(g));
    return pyapi::sub(risk, barrier);
}

}  // namespace

void bind_risk_parity(nb::module_ &m) {
    nb::object cls = make_objective_class(m, "RiskParity", "风险平价");
    def_method(cls, "get_objective_expr", {"g", "zeta", "helper"}, risk_parity_expr);
    def_plain_constraints_and_solver(cls);
}

}  // namespace velquor::objective
