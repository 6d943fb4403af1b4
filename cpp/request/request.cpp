/// The optimisation request as portfolio_optimize reads it (see request.hpp).
#include "request/request.hpp"

namespace velquor::request {

namespace {

struct Traits {
    pyapi::Name cls;       ///< the class, looked up in the namespace at call time
    bool needs_benchmark;  ///< active objectives measure against a benchmark
    Budget budget;
    bool solved_bare;  ///< solved without any constraint when the request has no bounds or constraints
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

bool is_a(const pyapi::Globals &ns, nb::handle obj, pyapi::Name name) { return pyapi::isinstance(obj, ns.attr(name)); }

[[noreturn]] void invalid(const pyapi::Globals &ns, nb::handle message) {
    pyapi::raise(ns.attr("InvalidArgument"), message);
}

/// The benchmark rule: required by the active objectives, a text names an index, anything else must be an
/// OptimizeBenchmark. Returns the checked benchmark (None when neither given nor required).
nb::object check_benchmark(const pyapi::Globals &ns, nb::handle objective, bool required, nb::object benchmark) {
    if (!required && benchmark.is_none()) return benchmark;
    if (benchmark.is_none()) {
        nb::object cls_name = nb::borrow(objective.type().attr("__name__"));
        invalid(ns, pyapi::format("对于目标函数 {}，必须传入 benchmark 参数", {cls_name}));
    }
    if (nb::isinstance<nb::str>(benchmark)) benchmark = ns.attr("IndexBenchmark")(benchmark);
    if (!is_a(ns, benchmark, "OptimizeBenchmark"))
        invalid(ns, pyapi::format("无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；对于自定义基准，请传入一个 "
                                  "OptimizeBenchmark 的对象",
                                  {benchmark}));
    return benchmark;
}

}  // namespace

Params params_of(const pyapi::Signature &sig) {
    return Params{sig.param("order_book_ids"), sig.param("date"), sig.param("objective"), sig.param("bnds"),
                  sig.param("cons"), sig.param("benchmark"), sig.param("cov_model"),
                  sig.param("factor_risk_aversion"), sig.param("specific_risk_aversion"), sig.param("solver"),
                  sig.param("risk_model")};
}

pyapi::Signature signature_of(nb::handle function) {
    nb::object parameter = nb::module_::import_("inspect").attr("Parameter");
    nb::object empty = parameter.attr("empty");
    pyapi::Signature sig;
    for (nb::handle p : function.attr("__signature__").attr("parameters").attr("values")()) {
        std::string name = nb::cast<std::string>(p.attr("name"));
        nb::object kind = p.attr("kind"), fallback = p.attr("default");
        bool has_default = !fallback.is(empty);
        if (kind.is(parameter.attr("VAR_KEYWORD"))) {
            sig.varkw = name;
        } else if (kind.is(parameter.attr("VAR_POSITIONAL"))) {
            sig.varargs = name;
        } else if (kind.is(parameter.attr("KEYWORD_ONLY"))) {
            sig.kwonly.push_back(name);
            sig.kwdefaults.push_back(has_default ? fallback : nb::object());
        } else {
            sig.positional.push_back(name);
            if (has_default) sig.defaults.push_back(fallback);
        }
    }
    return sig;
}

Context read(const pyapi::Globals &ns, pyapi::Arguments &args, const Params &p) {
    Context c;
    c.date = ns.attr("to_date")(args[p.date]);
    c.order_book_ids = ns.attr("ensure_order_book_ids")(args[p.order_book_ids], c.date);
    if (!pyapi::truthy(c.order_book_ids)) invalid(ns, nb::str("经过剔除后，股票池为空"));
    c.n = nb::len(c.order_book_ids);
    // One stock needs no optimisation: nothing else about the request is looked at.
    if (c.n < 2) return c;

    c.objective = nb::borrow(args[p.objective]);
    if (!is_a(ns, c.objective, "OptimizationObjective")) invalid(ns, nb::str("非法的目标函数"));
    bool needs_benchmark = false;
    for (const Traits &row : TRAITS) {
        if (!is_a(ns, c.objective, row.cls)) continue;
        needs_benchmark = needs_benchmark || row.needs_benchmark;
        if (c.budget == Budget::unit) c.budget = row.budget;
        c.solved_bare = c.solved_bare || row.solved_bare;
    }
    c.benchmark = check_benchmark(ns, c.objective, needs_benchmark, nb::borrow(args[p.benchmark]));

    nb::object cov_model = ns.attr("to_enum")(args[p.cov_model], ns.attr("CovModel"));
    nb::object risk_model = ns.attr("to_enum")(args[p.risk_model], ns.attr("RiskModel"));
    c.helper = ns.attr("OptimizeHelper")(c.order_book_ids, c.date, c.benchmark, cov_model, risk_model,
                                         args[p.factor_risk_aversion], args[p.specific_risk_aversion]);
    return c;
}

nb::object single_stock(const pyapi::Globals &ns, const Context &c) {
    nb::dict weights;
    for (nb::handle id : c.order_book_ids) {
        weights[id] = nb::float_(1.0);
        break;
    }
    return ns.attr("pd").attr("Series")(weights);
}

nb::object budget_row(const pyapi::Globals &ns, nb::handle g, nb::handle zeta) {
    nb::object total = ns.attr("cp").attr("sum")(g);
    return pyapi::richcompare(pyapi::sub(total, zeta), nb::int_(0), pyapi::Cmp::eq);
}

nb::list bound_rows(const pyapi::Globals &ns, nb::handle bnds, const Context &c, nb::handle g, nb::handle zeta) {
    std::vector<nb::object> bounds = pyapi::unpack(ns.attr("parse_bnds")(bnds, c.order_book_ids), 2);
    nb::list rows;
    rows.append(pyapi::richcompare(pyapi::sub(g, pyapi::mul(zeta, bounds[0])), nb::int_(0), pyapi::Cmp::ge));
    rows.append(pyapi::richcompare(pyapi::sub(g, pyapi::mul(zeta, bounds[1])), nb::int_(0), pyapi::Cmp::le));
    return rows;
}

std::vector<Item> constraint_rows(nb::handle cons, const Context &c, nb::handle g, nb::handle zeta) {
    std::vector<Item> items;
    if (cons.is_none()) return items;
    for (nb::handle constraint : cons) {
        bool hard = pyapi::truthy(constraint.attr("hard"));
        items.push_back(Item{nb::borrow(constraint), hard, constraint.attr("to_constraints")(g, zeta, c.helper)});
    }
    return items;
}

void extend(nb::list &target, nb::handle rows) {
    for (nb::handle row : rows) target.append(row);
}

}  // namespace velquor::request
