/// The optimisation request: argument checks, the helper, the variables, the constraint lists and the problem.
#include "optimize/driver.hpp"

namespace velquor::optimize {

namespace {

/// What the driver needs to know about an objective, by class.
enum class Budget {
    unit,        ///< sum(g) == 1
    free_scale,  ///< sum(g) == zeta, zeta a nonnegative variable (the ratio objectives are homogenised)
    pool_size,   ///< sum(g) == n (risk parity's log barrier wants weights of order one)
};
struct Traits {
    pyapi::Name cls;        ///< the class, looked up in the module namespace at call time
    bool needs_benchmark;   ///< active objectives measure against a benchmark
    Budget budget;
    bool solved_bare;       ///< solved without any constraint when the request has no bounds or constraints
};

/// The one table of objective traits. An objective that is an instance of several classes takes every
/// trait that any of them has (a benchmark), the first budget other than `unit` in table order.
constexpr Traits TRAITS[] = {
    {"MinTrackingError", true, Budget::unit, false},
    {"ActiveMeanVariance", true, Budget::unit, false},
    {"MaxInformationRatio", true, Budget::free_scale, false},
    {"MinActiveVariance", true, Budget::unit, false},
    {"MaxSharpeRatio", false, Budget::free_scale, false},
    {"RiskParity", false, Budget::pool_size, true},
};

struct ObjectiveTraits {
    bool needs_benchmark = false;
    Budget budget = Budget::unit;
    bool solved_bare = false;
};

/// `isinstance(obj, m.<name>)`, the class looked up in the module namespace at call time.
bool is_a(const pyapi::Globals &m, nb::handle obj, pyapi::Name name) { return pyapi::isinstance(obj, m.attr(name)); }

ObjectiveTraits traits_of(const pyapi::Globals &m, nb::handle objective) {
    ObjectiveTraits t;
    for (const Traits &row : TRAITS) {
        if (!is_a(m, objective, row.cls)) continue;
        t.needs_benchmark = t.needs_benchmark || row.needs_benchmark;
        if (t.budget == Budget::unit) t.budget = row.budget;
        t.solved_bare = t.solved_bare || row.solved_bare;
    }
    return t;
}

/// `for c in items: target.append(c)`.
void extend(nb::list &target, nb::handle items) {
    for (nb::handle c : items) target.append(c);
}

/// The benchmark rule: required by the active objectives, a text names an index, anything else must be an
/// OptimizeBenchmark. Returns the checked benchmark (None when neither given nor required).
nb::object check_benchmark(const pyapi::Globals &m, nb::handle objective, bool required, nb::object benchmark) {
    if (!required && benchmark.is_none()) return benchmark;
    if (benchmark.is_none()) {
        nb::object cls_name = nb::borrow(objective.type().attr("__name__"));
        pyapi::raise(m.attr("InvalidArgument"), pyapi::format("对于目标函数 {}，必须传入 benchmark 参数", {cls_name}));
    }
    if (nb::isinstance<nb::str>(benchmark)) benchmark = m.attr("IndexBenchmark")(benchmark);
    if (!is_a(m, benchmark, "OptimizeBenchmark"))
        pyapi::raise(m.attr("InvalidArgument"),
                     pyapi::format("无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；对于自定义基准，请传入一个 "
                                   "OptimizeBenchmark 的对象",
                                   {benchmark}));
    return benchmark;
}

}  // namespace

DriverParams params;

Request assemble(pyapi::Arguments &args) {
    auto m = self();
    Request r;

    nb::object date = m.attr("to_date")(args[params.date]);
    r.order_book_ids = m.attr("ensure_order_book_ids")(args[params.order_book_ids], date);
    if (!pyapi::truthy(r.order_book_ids)) pyapi::raise(m.attr("InvalidArgument"), "经过剔除后，股票池为空");
    const Py_ssize_t n = nb::len(r.order_book_ids);
    if (n < 2) {
        // One stock needs no optimisation: nothing else about the request is looked at.
        nb::dict weights;
        for (nb::handle id : r.order_book_ids) {
            weights[id] = nb::float_(1.0);
            break;
        }
        r.early_result = m.attr("pd").attr("Series")(weights);
        return r;
    }

    r.objective = nb::borrow(args[params.objective]);
    if (!is_a(m, r.objective, "OptimizationObjective")) pyapi::raise(m.attr("InvalidArgument"), "非法的目标函数");
    const ObjectiveTraits traits = traits_of(m, r.objective);
    nb::object benchmark = check_benchmark(m, r.objective, traits.needs_benchmark, nb::borrow(args[params.benchmark]));

    nb::object cov_model = m.attr("to_enum")(args[params.cov_model], m.attr("CovModel"));
    nb::object risk_model = m.attr("to_enum")(args[params.risk_model], m.attr("RiskModel"));
    nb::object helper = m.attr("OptimizeHelper")(r.order_book_ids, date, benchmark, cov_model, risk_model,
                                                 args[params.factor_risk_aversion], args[params.specific_risk_aversion]);

    nb::object cp = m.attr("cp");
    r.g = cp.attr("Variable")(nb::int_(n), nb::arg("nonneg") = true);
    // The ratio objectives homogenise the budget (g sums to a free scale); risk parity scales g by n.
    switch (traits.budget) {
        case Budget::free_scale: r.zeta = cp.attr("Variable")(nb::arg("nonneg") = true); break;
        case Budget::pool_size: r.zeta = nb::int_(n); break;
        case Budget::unit: r.zeta = nb::float_(1.0); break;
    }

    // sum(g) - zeta == 0
    nb::list budget;
    budget.append(pyapi::richcompare(pyapi::sub(cp.attr("sum")(r.g), r.zeta), nb::int_(0), pyapi::Cmp::eq));
    add_source(r, nb::str("budget"), budget, true);
    add_source(r, pyapi::format("{} 的内部约束", {r.objective.type().attr("__name__")}),
               r.objective.attr("get_internal_constraints")(r.g, r.zeta, helper), true, true);

    nb::handle bnds = args[params.bnds];
    if (!bnds.is_none()) {
        std::vector<nb::object> bounds = pyapi::unpack(m.attr("parse_bnds")(bnds, r.order_book_ids), 2);
        // g - zeta * lower >= 0 and g - zeta * upper <= 0, element-wise over the pool
        nb::list rows;
        rows.append(pyapi::richcompare(pyapi::sub(r.g, pyapi::mul(r.zeta, bounds[0])), nb::int_(0), pyapi::Cmp::ge));
        rows.append(pyapi::richcompare(pyapi::sub(r.g, pyapi::mul(r.zeta, bounds[1])), nb::int_(0), pyapi::Cmp::le));
        add_source(r, nb::str("bnds"), rows, true);
    }

    nb::handle cons = args[params.cons];
    if (!cons.is_none()) {
        for (nb::handle c : cons) {
            bool hard = pyapi::truthy(c.attr("hard"));
            add_source(r, nb::borrow(c), c.attr("to_constraints")(r.g, r.zeta, helper), hard);
        }
    }

    // Risk parity without bounds or constraints is solved unconstrained (the log barrier keeps g positive)
    // and scaled afterwards; the internal constraints above were still requested.
    bool unconstrained = traits.solved_bare && !pyapi::truthy(bnds) && !pyapi::truthy(cons);
    r.solver = nb::borrow(args[params.solver]);
    r.solver_options = args.varkw;
    nb::object expr = tuned_objective(r, r.objective.attr("get_objective_expr")(r.g, r.zeta, helper));
    nb::object minimize = cp.attr("Minimize")(expr);
    if (unconstrained) {
        r.problem = cp.attr("Problem")(minimize);
    } else {
        nb::list all;
        extend(all, r.hard_cons);
        extend(all, r.soft_cons);
        r.problem = cp.attr("Problem")(minimize, all);
    }

    return r;
}

}  // namespace velquor::optimize
