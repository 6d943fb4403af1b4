/// The optimisation request: the variables, the constraint lists and the problem, on the shared reading of
/// the arguments (request/request.hpp); and prepare_request, that reading offered to Python.
#include "optimize/driver.hpp"

namespace velquor::optimize {

namespace {

constexpr const char *PREPARE_DOC = R"doc(
    Reads an optimisation request as ``portfolio_optimize`` does, without solving it.

    Takes the arguments of ``portfolio_optimize`` and runs its checks in the same order with the same
    messages and warnings: the date, the screening of the pool, the objective, the benchmark rule, the
    helper and the bounds. Constraints and the solver options are taken but not read.

    :return: types.SimpleNamespace with ``order_book_ids`` (the screened pool), ``date``, ``objective``,
             ``benchmark`` (checked; an ``IndexBenchmark`` for an index id; None when neither given nor
             needed), ``helper`` (the ``OptimizeHelper`` of the request) and ``bounds`` (the lower and upper
             bound arrays in pool order, or None without ``bnds``). For a pool of one stock only
             ``order_book_ids`` and ``date`` are read; the others are None.
    )doc";

/// `pyapi::Param`s of prepare_request, found by name when it is defined.
request::Params prepare_params;

nb::object prepare_request(pyapi::Arguments &args) {
    auto m = self();
    request::Context c = request::read(m, args, prepare_params);
    nb::object bounds = nb::none();
    nb::handle bnds = args[prepare_params.bnds];
    if (c.n >= 2 && !bnds.is_none()) bounds = m.attr("parse_bnds")(bnds, c.order_book_ids);
    auto value = [](const nb::object &o) { return o.is_valid() ? o : nb::none(); };
    return nb::module_::import_("types").attr("SimpleNamespace")(
        nb::arg("order_book_ids") = c.order_book_ids, nb::arg("date") = c.date,
        nb::arg("objective") = value(c.objective), nb::arg("benchmark") = value(c.benchmark),
        nb::arg("helper") = value(c.helper), nb::arg("bounds") = bounds);
}

}  // namespace

DriverParams params;

Request assemble(pyapi::Arguments &args) {
    auto m = self();
    Request r;
    request::Context c = request::read(m, args, params);
    r.order_book_ids = c.order_book_ids;
    if (c.n < 2) {
        r.early_result = request::single_stock(m, c);
        return r;
    }
    r.objective = c.objective;

    nb::object cp = m.attr("cp");
    r.g = cp.attr("Variable")(nb::int_(c.n), nb::arg("nonneg") = true);
    // The ratio objectives homogenise the budget (g sums to a free scale); risk parity scales g by n.
    switch (c.budget) {
        case request::Budget::free_scale: r.zeta = cp.attr("Variable")(nb::arg("nonneg") = true); break;
        case request::Budget::pool_size: r.zeta = nb::int_(c.n); break;
        case request::Budget::unit: r.zeta = nb::float_(1.0); break;
    }

    nb::list budget;
    budget.append(request::budget_row(m, r.g, r.zeta));
    add_source(r, nb::str("budget"), budget, true);
    add_source(r, pyapi::format("{} 的内部约束", {r.objective.type().attr("__name__")}),
               r.objective.attr("get_internal_constraints")(r.g, r.zeta, c.helper), true, true);

    nb::handle bnds = args[params.bnds];
    if (!bnds.is_none()) add_source(r, nb::str("bnds"), request::bound_rows(m, bnds, c, r.g, r.zeta), true);

    nb::handle cons = args[params.cons];
    for (const request::Item &item : request::constraint_rows(cons, c, r.g, r.zeta))
        add_source(r, item.constraint, item.rows, item.hard);

    // Risk parity without bounds or constraints is solved unconstrained (the log barrier keeps g positive)
    // and scaled afterwards; the internal constraints above were still requested.
    bool unconstrained = c.solved_bare && !pyapi::truthy(bnds) && !pyapi::truthy(cons);
    r.solver = nb::borrow(args[params.solver]);
    r.solver_options = args.varkw;
    nb::object expr = tuned_objective(r, r.objective.attr("get_objective_expr")(r.g, r.zeta, c.helper));
    nb::object minimize = cp.attr("Minimize")(expr);
    if (unconstrained) {
        r.problem = cp.attr("Problem")(minimize);
    } else {
        nb::list all;
        request::extend(all, r.hard_cons);
        request::extend(all, r.soft_cons);
        r.problem = cp.attr("Problem")(minimize, all);
    }

    return r;
}

void bind_prepare_request(nb::module_ &m) {
    pyapi::Signature sig = request::signature_of(m.attr("portfolio_optimize"));
    prepare_params = request::params_of(sig);
    pyapi::define(m, {"prepare_request", std::move(sig), prepare_request, PREPARE_DOC});
}

}  // namespace velquor::optimize
