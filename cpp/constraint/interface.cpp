/// The constraint interface: the abstract base class OptimizationConstraint and the binding helpers.
#include "constraint/constraint.hpp"

namespace velquor::constraint {

namespace {

constexpr const char *kModule = "velquor.constraint";

constexpr const char *kBaseDoc =
    "Base class of the constraints passed to ``portfolio_optimize`` in ``cons``.\n"
    "\n"
    "A constraint has the attribute ``hard`` (truthy: it must hold; falsy: it is dropped, with every other\n"
    "soft constraint, when the problem cannot be solved with it) and the method\n"
    "``to_constraints(g, zeta, helper)`` returning a list of cvxpy constraints over the nonnegative\n"
    "variable ``g`` (and ``zeta``). The final weights are ``w = g / zeta``: ``zeta`` is 1.0 for most\n"
    "objectives, a cvxpy variable for the ratio objectives and the pool size for risk parity with\n"
    "constraints, so every constant of a constraint is multiplied by ``zeta`` (``g[0] <= 0.1 * zeta``).\n"
    "Write each row in the constraint's own units at ``zeta`` = 1 (weight, exposure, turnover, annualised\n"
    "tracking error): ``portfolio_optimize`` measures every row at the weights it is about to return and\n"
    "fails when a hard one is broken by more than 1e-6 in those units.\n";


namespace base_init_at {
constexpr pyapi::Param hard{1};
}

nb::object base_init(pyapi::Arguments &a) {
    nb::setattr(a[method::self], "hard", a[base_init_at::hard]);
    return nb::none();
}

nb::object not_implemented(pyapi::Arguments &) { pyapi::raise_bare(PyExc_NotImplementedError); }

/// `repr` of one stored parameter: a Series is summarised (holdings can be thousands of entries long).
nb::object short_repr(nb::handle value) {
    if (pyapi::isinstance(value, global("pd").attr("Series")))
        return pyapi::format("<Series of {} entries>", {nb::int_(nb::len(value))});
    // An enumeration member reads as it is written in code (IndustryClassification.SW).
    if (pyapi::isinstance(value, nb::module_::import_("enum").attr("Enum"))) return nb::str(value);
    return nb::repr(value);
}

/// `ClassName(param=value, ...)` for the parameters of the class's `__init__` that the instance stores
/// under their own names, as a dataclass shows itself.
nb::object base_repr(pyapi::Arguments &a) {
    nb::handle obj = a[method::self];
    nb::object cls = nb::borrow(obj.type());
    nb::object name = cls.attr("__name__");
    nb::object parameter = nb::module_::import_("inspect").attr("Parameter");
    nb::object signature;
    try {
        signature = nb::module_::import_("inspect").attr("signature")(cls.attr("__init__"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        return pyapi::format("<{} object>", {name});
    }
    nb::list parts;
    for (nb::handle p : signature.attr("parameters").attr("values")()) {
        nb::object kind = p.attr("kind");
        if (pyapi::compare(kind, parameter.attr("VAR_POSITIONAL"), pyapi::Cmp::eq) ||
            pyapi::compare(kind, parameter.attr("VAR_KEYWORD"), pyapi::Cmp::eq))
            continue;
        nb::object pname = p.attr("name");
        if (pyapi::compare(pname, nb::str("self"), pyapi::Cmp::eq)) continue;
        nb::object value = pyapi::getattr_or_none(obj, nb::cast<std::string>(pname).c_str());
        if (!value.is_valid()) continue;
        parts.append(pyapi::format("{}={}", {pname, short_repr(value)}));
    }
    return pyapi::format("{}({})", {name, nb::str(", ").attr("join")(parts)});
}

void def_plain(nb::handle cls, const char *name, std::vector<std::string> positional, std::vector<nb::object> defaults,
               pyapi::Impl impl, pyapi::Reads reads, const char *doc = nullptr,
               std::source_location where = std::source_location::current()) {
    pyapi::Signature sig;
    sig.positional = std::move(positional);
    sig.defaults = std::move(defaults);
    pyapi::define(cls, {name, std::move(sig), impl, doc, where, std::move(reads)});
}

/// `to_constraints(self, g, zeta, helper)` on `cls`, read at the positions of `method`.
void def_to_constraints_method(nb::handle cls, pyapi::Impl impl, const char *doc = nullptr) {
    def_plain(cls, "to_constraints", {"self", "g", "zeta", "helper"}, {}, impl,
              {{"self", method::self}, {"g", method::g}, {"zeta", method::zeta}, {"helper", method::helper}}, doc);
}

}  // namespace

void invalid(nb::handle message) { pyapi::raise(global("InvalidArgument"), message); }

nb::object make_constraint_class(nb::module_ &m, const char *name, const char *doc) {
    nb::object cls = pyapi::make_class(m.attr("ABCMeta"), name, nb::make_tuple(m.attr("OptimizationConstraint")),
                                       kModule, doc, true);
    nb::setattr(m, name, cls);
    return cls;
}

void def_init(nb::handle cls, const std::vector<Param> &params, pyapi::Impl impl) {
    std::vector<std::string> positional{"self"};
    std::vector<nb::object> defaults;
    pyapi::Reads reads{{"self", method::self}};
    for (const Param &p : params) {
        positional.emplace_back(p.name);
        reads.emplace_back(p.name, p.at);
        if (p.default_value.is_valid()) defaults.push_back(p.default_value);
    }
    def_plain(cls, "__init__", std::move(positional), std::move(defaults), impl, reads);
}

void def_to_constraints(nb::handle cls, pyapi::Impl impl) {
    def_to_constraints_method(cls, impl);
    // The class statement computed the abstract methods before the method was attached: count again.
    nb::module_::import_("abc").attr("update_abstractmethods")(cls);
}

void bind_interface(nb::module_ &m) {
    nb::object base = pyapi::make_class(m.attr("ABCMeta"), "OptimizationConstraint",
                                        nb::make_tuple(nb::module_::import_("builtins").attr("object")), kModule, kBaseDoc, true);
    m.attr("OptimizationConstraint") = base;
    // A subclass that never calls the base __init__ is hard, like every built-in kind by default.
    base.attr("hard") = nb::bool_(true);
    def_plain(base, "__init__", {"self", "hard"}, {nb::bool_(true)}, base_init,
              {{"self", method::self}, {"hard", base_init_at::hard}});
    def_plain(base, "__repr__", {"self"}, {}, base_repr, {{"self", method::self}});
    def_to_constraints_method(base, not_implemented,
                              "The cvxpy constraints that make the weights ``g / zeta`` satisfy this constraint.");
    // `@abstractmethod`: our function objects take attributes, so the marker is the standard one.
    nb::module_::import_("abc").attr("abstractmethod")(base.attr("to_constraints"));
    nb::module_::import_("abc").attr("update_abstractmethods")(base);
}

}  // namespace velquor::constraint
