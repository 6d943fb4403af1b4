/// diagnose: which constraints of an infeasible request must give, and by how much (elastic relaxation).
#include "constraint/constraint.hpp"
#include "request/request.hpp"

#include <algorithm>
#include <cmath>

namespace velquor::constraint {

namespace {

using namespace nb::literals;

constexpr const char *kDoc = R"doc(
    Finds the constraints that make an optimisation request infeasible.

    Takes the arguments of ``portfolio_optimize`` and reads them as it does. The weights' constraints (the
    budget, ``bnds`` and every constraint of ``cons``, hard and soft, with ``zeta`` = 1) are solved in their
    elastic form: every row of a constraint may give by a nonnegative slack. The budget never gives. The
    result has one row per constraint that gives in the joint relaxation or could restore feasibility alone,
    largest relaxation first:

    * index ``item``: the position of the constraint in ``cons``, or ``"bnds"`` for the weight bounds
    * ``constraint``: its ``repr``; ``kind``: its class name; ``hard``: whether it was hard
    * ``relaxation``: the largest slack among its rows in the joint relaxation, in the constraint's own
      units (weight, exposure, one-way turnover, annualised tracking error)
    * ``rows``: how many of its rows give in the joint relaxation
    * ``alone``: the relaxation the constraint needs when it is the only one to give (every row by at most
      that much, in its own units); NaN when relaxing it alone cannot restore feasibility

    The joint relaxation minimises the sum over constraints of the largest slack divided by the
    constraint's ``alone``, so rescaling a constraint's units does not change which constraints give or by
    what share. When some constraint can restore feasibility alone, only those that can give; when none
    can, every constraint gives and the slacks count in their own units.

    A request whose constraints can all hold gives an empty frame. The objective only decides whether a
    benchmark is required; its own internal constraints are not examined. Solved with Clarabel when it is
    installed (exact slacks), else SCS, unless ``solver`` names another.

    :return: pd.DataFrame
    )doc";

/// Slacks below this are the solver's residual, not a relaxation.
constexpr double kTolerance = 1e-6;
/// Weight of each constraint's summed row slacks next to its largest one in the joint relaxation: rows that
/// need not give are held at zero instead of anywhere below the largest.
constexpr double kRowWeight = 1e-3;

const char *kColumns[] = {"constraint", "kind", "hard", "relaxation", "rows", "alone"};

/// Where diagnose reads its parameters: portfolio_optimize's parameter list, found by name at definition.
request::Params params;

/// One caller item (a constraint of `cons`, or the bounds): its rows as given and in elastic form.
struct Item {
    nb::object label, text, kind, hard;
    nb::list rows = {};     ///< as the constraint gave them
    nb::list elastic = {};  ///< each relaxable row with its slack
    nb::list slacks = {};   ///< the slack variables, one per relaxable row (vector-shaped for vector rows)
    double alone = 0.0;
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

void add_rows(Item &item, nb::handle rows) {
    for (nb::handle c : rows) {
        item.rows.append(c);
        nb::object r = relax(c, item.slacks);
        if (nb::isinstance<nb::list>(r))
            request::extend(item.elastic, r);
        else
            item.elastic.append(r);
    }
}

nb::object empty_frame(const nb::object &pd) {
    nb::dict columns;
    for (const char *name : kColumns) columns[name] = nb::list();
    return pd.attr("DataFrame")(columns, "index"_a = pd.attr("Index")(nb::list(), "name"_a = "item",
                                                                        "dtype"_a = builtin("object")));
}

bool status_is(const nb::object &status, const nb::object &cp, const char *a, const char *b) {
    return pyapi::compare(status, cp.attr(a), pyapi::Cmp::eq) || pyapi::compare(status, cp.attr(b), pyapi::Cmp::eq);
}

/// Solves `problem`; true when it is solved, false when it is infeasible, OptimizationFailed otherwise.
bool solve_elastic(nb::handle problem, nb::handle solver, nb::handle options) {
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
    if (status_is(status, cp, "OPTIMAL", "OPTIMAL_INACCURATE")) return true;
    if (status_is(status, cp, "INFEASIBLE", "INFEASIBLE_INACCURATE")) return false;
    pyapi::raise(global("OptimizationFailed"), status);
}

/// The values of `slacks` as one flat array.
nb::object slack_values(const nb::list &slacks) {
    nb::object np = global("np");
    nb::list values;
    for (nb::handle s : slacks) values.append(np.attr("ravel")(np.attr("asarray")(s.attr("value"))));
    return np.attr("concatenate")(values);
}

/// `item`'s `alone`: the least t such that its rows, each relaxed by at most t, hold with every other item
/// as given; NaN when no t does.
double alone(const std::vector<Item> &items, size_t k, nb::handle fixed, nb::handle solver, nb::handle options) {
    nb::object cp = global("cp");
    nb::list rows;
    request::extend(rows, fixed);
    for (size_t j = 0; j < items.size(); ++j) request::extend(rows, j == k ? items[j].elastic : items[j].rows);
    nb::object t = cp.attr("Variable")("nonneg"_a = true);
    for (nb::handle s : items[k].slacks) rows.append(pyapi::richcompare(s, t, pyapi::Cmp::le));
    nb::object problem = cp.attr("Problem")(cp.attr("Minimize")(t), rows);
    if (!solve_elastic(problem, solver, options)) return std::nan("");
    return std::max(0.0, nb::cast<double>(builtin("float")(t.attr("value"))));
}

nb::object diagnose(pyapi::Arguments &args) {
    // The request is read in velquor.optimize's namespace, exactly as portfolio_optimize reads it.
    nb::object optimize = global("optimize");
    nb::object optimize_dict = optimize.attr("__dict__");
    pyapi::Globals ns(optimize_dict);
    nb::object pd = global("pd"), np = global("np"), cp = global("cp");

    request::Context c = request::read(ns, args, params);
    // One stock is the whole portfolio: portfolio_optimize answers without looking at any constraint.
    if (c.n < 2) return empty_frame(pd);

    nb::object g = cp.attr("Variable")(nb::int_(c.n), "nonneg"_a = true);
    nb::object zeta = nb::float_(1.0);
    nb::list fixed;
    fixed.append(request::budget_row(ns, g, zeta));

    std::vector<Item> items;
    nb::handle bnds = args[params.bnds];
    if (!bnds.is_none()) {
        Item item{nb::str("bnds"), nb::repr(bnds), nb::str("bnds"), nb::bool_(true)};
        add_rows(item, request::bound_rows(ns, bnds, c, g, zeta));
        items.push_back(std::move(item));
    }
    Py_ssize_t position = 0;
    for (const request::Item &given : request::constraint_rows(args[params.cons], c, g, zeta)) {
        Item item{nb::int_(position++), nb::repr(given.constraint), given.constraint.type().attr("__name__"),
                  nb::bool_(given.hard)};
        add_rows(item, given.rows);
        items.push_back(std::move(item));
    }
    // Items without a relaxable row stay as given.
    for (Item &item : items)
        if (nb::len(item.slacks) == 0) request::extend(fixed, item.rows);
    std::erase_if(items, [](const Item &item) { return nb::len(item.slacks) == 0; });
    if (items.empty()) return empty_frame(pd);

    nb::handle solver = args[params.solver];
    nb::handle options = args.varkw;
    for (size_t k = 0; k < items.size(); ++k) {
        items[k].alone = alone(items, k, fixed, solver, options);
        // A constraint that needs no relaxation to hold with all the others: the request is feasible.
        if (items[k].alone <= kTolerance) return empty_frame(pd);
    }

    // The joint relaxation, each item's slack as a share of its own `alone`. When some item can restore
    // feasibility alone, those that cannot stay as given; when none can, all give, in their own units.
    bool any_alone = std::any_of(items.begin(), items.end(), [](const Item &item) { return !std::isnan(item.alone); });
    nb::list rows, terms;
    request::extend(rows, fixed);
    for (Item &item : items) {
        if (any_alone && std::isnan(item.alone)) {
            request::extend(rows, item.rows);
            continue;
        }
        request::extend(rows, item.elastic);
        nb::object t = cp.attr("Variable")("nonneg"_a = true);
        nb::list sums;
        for (nb::handle s : item.slacks) {
            rows.append(pyapi::richcompare(s, t, pyapi::Cmp::le));
            sums.append(cp.attr("sum")(s));
        }
        nb::object spread = pyapi::mul(nb::float_(kRowWeight), builtin("sum")(sums));
        double scale = std::isnan(item.alone) ? 1.0 : item.alone;
        terms.append(pyapi::truediv(pyapi::add(t, spread), nb::float_(scale)));
    }
    nb::object problem = cp.attr("Problem")(cp.attr("Minimize")(builtin("sum")(terms)), rows);
    if (!solve_elastic(problem, solver, options))
        pyapi::raise(global("OptimizationFailed"), problem.attr("status"));

    nb::list labels, texts, kinds, hards, relaxations, counts, alones;
    for (const Item &item : items) {
        if (any_alone && std::isnan(item.alone)) continue;
        nb::object flat = slack_values(item.slacks);
        double largest = nb::cast<double>(builtin("float")(flat.attr("max")()));
        bool gives = largest > kTolerance;
        if (!gives && std::isnan(item.alone)) continue;
        labels.append(item.label);
        texts.append(item.text);
        kinds.append(item.kind);
        hards.append(item.hard);
        relaxations.append(nb::float_(gives ? largest : 0.0));
        counts.append(gives ? builtin("int")(pyapi::richcompare(flat, nb::float_(kTolerance), pyapi::Cmp::gt).attr("sum")())
                            : nb::object(nb::int_(0)));
        alones.append(nb::float_(item.alone));
    }
    if (nb::len(labels) == 0) return empty_frame(pd);
    nb::dict columns;
    columns["constraint"] = texts;
    columns["kind"] = kinds;
    columns["hard"] = hards;
    columns["relaxation"] = relaxations;
    columns["rows"] = counts;
    columns["alone"] = alones;
    nb::object frame = pd.attr("DataFrame")(columns, "index"_a = pd.attr("Index")(labels, "name"_a = "item",
                                                                                 "dtype"_a = builtin("object")));
    return frame.attr("sort_values")(nb::list(nb::make_tuple("relaxation", "alone")), "ascending"_a = false, "kind"_a = "stable");
}

}  // namespace

void bind_diagnose(nb::module_ &m) {
    // diagnose takes exactly the arguments of portfolio_optimize, read from it rather than restated.
    pyapi::Signature sig = request::signature_of(m.attr("optimize").attr("portfolio_optimize"));
    params = request::params_of(sig);
    pyapi::define(m, {"diagnose", std::move(sig), diagnose, kDoc});
}

}  // namespace velquor::constraint
