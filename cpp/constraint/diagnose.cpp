/// diagnose: which constraints of an infeasible request must give, and by how much (elastic relaxation).
#include "constraint/constraint.hpp"

namespace velquor::constraint {

namespace {

using namespace nb::literals;

constexpr const char *kDoc = R"doc(
    Finds the constraints that make an optimisation request infeasible.

    Takes the arguments of ``portfolio_optimize``. The weights' constraints (the budget, ``bnds`` and every
    constraint of ``cons``, hard and soft, with ``zeta`` = 1) are solved in their elastic form: each row
    gets a nonnegative slack and the total slack is minimised. The result lists the constraints whose
    slack is positive, largest relaxation first:

    * index ``item``: the position of the constraint in ``cons``, or ``"bnds"`` for the weight bounds
    * ``constraint``: its ``repr``; ``kind``: its class name; ``hard``: whether it was hard
    * ``relaxation``: the largest slack among its rows, in the constraint's own units (weight, exposure,
      one-way turnover, annualised tracking error)
    * ``rows``: how many of its rows had to give

    A request whose constraints can all hold gives an empty frame. The objective only decides whether a
    benchmark is required; its own internal constraints are not examined. Solved with Clarabel when it is
    installed (exact slacks), else SCS, unless ``solver`` names another.

    :return: pd.DataFrame
    )doc";

/// Slacks below this are the solver's residual, not a relaxation.
constexpr double kTolerance = 1e-6;

enum Param : size_t {
    ORDER_BOOK_IDS,
    DATE,
    OBJECTIVE,
    BNDS,
    CONS,
    BENCHMARK,
    COV_MODEL,
    FACTOR_RISK_AVERSION,
    SPECIFIC_RISK_AVERSION,
    SOLVER,
    RISK_MODEL,
};

const char *kColumns[] = {"constraint", "kind", "hard", "relaxation", "rows"};

/// The benchmark as portfolio_optimize checks it: required by the active objectives, a text names an index.
nb::object check_benchmark(nb::handle objective, nb::object benchmark) {
    bool needed = false;
    for (pyapi::Name name : std::initializer_list<pyapi::Name>{"MinTrackingError", "ActiveMeanVariance",
                                                               "MaxInformationRatio", "MinActiveVariance"})
        needed = needed || pyapi::isinstance(objective, global(name));
    if (benchmark.is_none()) {
        if (needed)
            invalid(pyapi::format("对于目标函数 {}，必须传入 benchmark 参数", {objective.type().attr("__name__")}));
        return benchmark;
    }
    if (nb::isinstance<nb::str>(benchmark)) benchmark = global("IndexBenchmark")(benchmark);
    if (!pyapi::isinstance(benchmark, global("OptimizeBenchmark")))
        invalid(pyapi::format("无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；对于自定义基准，请传入一个 "
                              "OptimizeBenchmark 的对象",
                              {benchmark}));
    return benchmark;
}

/// One caller item (a constraint of `cons`, or the bounds) and the slacks of its relaxed rows.
struct Item {
    nb::object label, text, kind, hard;
    nb::list slacks;
};

/// The elastic form of `c`, its slack appended to `slacks`; a kind of constraint without one (a
/// semidefinite cone, say) is returned unchanged and stays hard.
nb::object relax(nb::handle c, nb::list &slacks) {
    nb::object cp = global("cp");
    nb::object types = cp.attr("constraints");
    auto slack_like = [&](nb::handle expr) {
        nb::object s = cp.attr("Variable")(expr.attr("shape"), "nonneg"_a = true);
        slacks.append(s);
        return s;
    };
    if (pyapi::isinstance(c, types.attr("Inequality")) || pyapi::isinstance(c, types.attr("NonPos"))) {
        nb::object expr = c.attr("expr");  // <= 0
        return pyapi::richcompare(expr, slack_like(expr), pyapi::Cmp::le);
    }
    if (pyapi::isinstance(c, types.attr("NonNeg"))) {
        nb::object expr = c.attr("expr");  // >= 0
        return pyapi::richcompare(pyapi::neg(expr), slack_like(expr), pyapi::Cmp::le);
    }
    if (pyapi::isinstance(c, types.attr("Equality"))) {
        // |expr| <= s, as two rows of one list entry.
        nb::object expr = c.attr("expr");
        nb::object s = slack_like(expr);
        nb::list both;
        both.append(pyapi::richcompare(expr, s, pyapi::Cmp::le));
        both.append(pyapi::richcompare(pyapi::neg(expr), s, pyapi::Cmp::le));
        return both;
    }
    if (pyapi::isinstance(c, types.attr("SOC"))) {
        nb::object args = c.attr("args");
        nb::object t = pyapi::getitem(args, nb::int_(0));
        return types.attr("SOC")(pyapi::add(t, slack_like(t)), pyapi::getitem(args, nb::int_(1)),
                                 "axis"_a = c.attr("axis"));
    }
    return nb::borrow(c);
}

void extend_relaxed(nb::list &target, nb::handle constraints, Item &item) {
    for (nb::handle c : constraints) {
        nb::object r = relax(c, item.slacks);
        if (nb::isinstance<nb::list>(r))
            for (nb::handle x : r) target.append(x);
        else
            target.append(r);
    }
}

nb::object empty_frame(const nb::object &pd) {
    nb::dict columns;
    for (const char *name : kColumns) columns[name] = nb::list();
    return pd.attr("DataFrame")(columns, "index"_a = pd.attr("Index")(nb::list(), "name"_a = "item",
                                                                        "dtype"_a = builtin("object")));
}

nb::object solve_elastic(nb::handle problem, nb::handle solver, nb::handle options) {
    nb::object cp = global("cp");
    nb::object chosen = nb::borrow(solver);
    if (!pyapi::truthy(chosen)) {
        bool clarabel = pyapi::truthy(cp.attr("installed_solvers")().attr("__contains__")(cp.attr("CLARABEL")));
        chosen = cp.attr(clarabel ? "CLARABEL" : "SCS");
    }
    try {
        pyapi::call_with_kwargs(problem.attr("solve"), {{"solver", chosen}}, options);
    } catch (nb::python_error &e) {
        if (pyapi::matches(e, cp.attr("SolverError")))
            pyapi::raise_in_handler(global("OptimizationFailed"), nb::str("failed"), e);
        throw;
    }
    nb::object status = problem.attr("status");
    if (!pyapi::compare(status, cp.attr("OPTIMAL"), pyapi::Cmp::eq) &&
        !pyapi::compare(status, cp.attr("OPTIMAL_INACCURATE"), pyapi::Cmp::eq))
        pyapi::raise(global("OptimizationFailed"), status);
    return status;
}

nb::object diagnose(pyapi::Arguments &args) {
    nb::object optimize = global("optimize");
    nb::object pd = global("pd"), np = global("np"), cp = global("cp");
    std::vector<Item> items;

    nb::object date = optimize.attr("to_date")(args[DATE]);
    nb::object ids = optimize.attr("ensure_order_book_ids")(args[ORDER_BOOK_IDS], date);
    if (!pyapi::truthy(ids)) invalid(nb::str("经过剔除后，股票池为空"));
    // One stock is the whole portfolio: portfolio_optimize answers without looking at any constraint.
    if (nb::len(ids) < 2) return empty_frame(pd);

    nb::handle objective = args[OBJECTIVE];
    if (!pyapi::isinstance(objective, global("OptimizationObjective"))) invalid(nb::str("非法的目标函数"));
    nb::object benchmark = check_benchmark(objective, nb::borrow(args[BENCHMARK]));
    nb::object helper =
        global("OptimizeHelper")(ids, date, benchmark, optimize.attr("to_enum")(args[COV_MODEL], global("CovModel")),
                                 optimize.attr("to_enum")(args[RISK_MODEL], global("RiskModel")),
                                 args[FACTOR_RISK_AVERSION], args[SPECIFIC_RISK_AVERSION]);

    nb::object g = cp.attr("Variable")(nb::int_(nb::len(ids)), "nonneg"_a = true);
    nb::object zeta = nb::float_(1.0);
    nb::list rows;
    rows.append(pyapi::richcompare(cp.attr("sum")(g), zeta, pyapi::Cmp::eq));

    nb::handle bnds = args[BNDS];
    if (!bnds.is_none()) {
        std::vector<nb::object> bounds = pyapi::unpack(optimize.attr("parse_bnds")(bnds, ids), 2);
        Item item{nb::str("bnds"), nb::repr(bnds), nb::str("bnds"), nb::bool_(true), nb::list()};
        nb::list own;
        own.append(pyapi::richcompare(pyapi::sub(g, bounds[0]), nb::int_(0), pyapi::Cmp::ge));
        own.append(pyapi::richcompare(pyapi::sub(g, bounds[1]), nb::int_(0), pyapi::Cmp::le));
        extend_relaxed(rows, own, item);
        items.push_back(std::move(item));
    }
    nb::handle cons = args[CONS];
    if (!cons.is_none()) {
        Py_ssize_t position = 0;
        for (nb::handle c : cons) {
            // As the driver reads them: `hard` first, then the constraints.
            nb::object hard = nb::bool_(pyapi::truthy(c.attr("hard")));
            Item item{nb::int_(position++), nb::repr(c), c.type().attr("__name__"), hard, nb::list()};
            extend_relaxed(rows, c.attr("to_constraints")(g, zeta, helper), item);
            items.push_back(std::move(item));
        }
    }

    nb::list totals;
    for (const Item &item : items)
        for (nb::handle s : item.slacks) totals.append(cp.attr("sum")(s));
    if (nb::len(totals) == 0) return empty_frame(pd);
    nb::object total = builtin("sum")(totals);
    nb::object problem = cp.attr("Problem")(cp.attr("Minimize")(total), rows);
    solve_elastic(problem, args[SOLVER], args.varkw);

    nb::list labels, texts, kinds, hards, relaxations, counts;
    for (const Item &item : items) {
        if (nb::len(item.slacks) == 0) continue;
        nb::list values;
        for (nb::handle s : item.slacks) values.append(np.attr("ravel")(np.attr("asarray")(s.attr("value"))));
        nb::object flat = np.attr("concatenate")(values);
        double largest = nb::cast<double>(builtin("float")(flat.attr("max")()));
        if (!(largest > kTolerance)) continue;
        labels.append(item.label);
        texts.append(item.text);
        kinds.append(item.kind);
        hards.append(item.hard);
        relaxations.append(nb::float_(largest));
        counts.append(builtin("int")(pyapi::richcompare(flat, nb::float_(kTolerance), pyapi::Cmp::gt).attr("sum")()));
    }
    if (nb::len(labels) == 0) return empty_frame(pd);
    nb::dict columns;
    columns["constraint"] = texts;
    columns["kind"] = kinds;
    columns["hard"] = hards;
    columns["relaxation"] = relaxations;
    columns["rows"] = counts;
    nb::object frame = pd.attr("DataFrame")(columns, "index"_a = pd.attr("Index")(labels, "name"_a = "item",
                                                                                 "dtype"_a = builtin("object")));
    return frame.attr("sort_values")("relaxation", "ascending"_a = false, "kind"_a = "stable");
}

/// The parameter list of `function` (a function of the package) as its `__signature__` declares it, defaults
/// included: diagnose takes exactly the arguments of portfolio_optimize, read from it rather than restated.
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

}  // namespace

void bind_diagnose(nb::module_ &m) {
    // The implementation reads its arguments by these positions: a reordered driver fails the import here.
    pyapi::define(m, {"diagnose", signature_of(m.attr("optimize").attr("portfolio_optimize")), diagnose, kDoc,
                      std::source_location::current(),
                      {{"order_book_ids", pyapi::Param{ORDER_BOOK_IDS}},
                       {"date", pyapi::Param{DATE}},
                       {"objective", pyapi::Param{OBJECTIVE}},
                       {"bnds", pyapi::Param{BNDS}},
                       {"cons", pyapi::Param{CONS}},
                       {"benchmark", pyapi::Param{BENCHMARK}},
                       {"cov_model", pyapi::Param{COV_MODEL}},
                       {"factor_risk_aversion", pyapi::Param{FACTOR_RISK_AVERSION}},
                       {"specific_risk_aversion", pyapi::Param{SPECIFIC_RISK_AVERSION}},
                       {"solver", pyapi::Param{SOLVER}},
                       {"risk_model", pyapi::Param{RISK_MODEL}}}});
}

}  // namespace velquor::constraint
