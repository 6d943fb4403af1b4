/// The objective interface: ensure_series, the base class OptimizationObjective and the binding helpers.
#include "objective/objective.hpp"

#include <algorithm>

namespace velquor::objective {

namespace {

constexpr const char *kModule = "velquor.objective";

namespace ensure_series_at {
constexpr pyapi::Param obj{0}, name{1};
}

nb::object ensure_series(pyapi::Arguments &a) {
    nb::handle obj = a[ensure_series_at::obj], name = a[ensure_series_at::name];
    nb::object pd = global("pd");
    nb::object series_type = pd.attr("Series");
    if (pyapi::isinstance(obj, series_type)) return nb::borrow(obj);
    try {
        return series_type(obj);
    } catch (nb::python_error &e) {
        // `except Exception:` - an interrupt or SystemExit is not a rejected argument and keeps travelling.
        if (!e.matches(PyExc_Exception)) throw;
        pyapi::raise_in_handler(global("InvalidArgument"),
                                pyapi::format("{}: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象", {name}), e);
    }
}

nb::object not_implemented(pyapi::Arguments &) { pyapi::raise_bare(PyExc_NotImplementedError); }

nb::object new_empty_list(pyapi::Arguments &) { return nb::list(); }

nb::object scs(pyapi::Arguments &) { return global("cp").attr("SCS"); }

}  // namespace

nb::object make_objective_class(nb::module_ &m, const char *name, const char *doc, bool has_doc) {
    nb::object cls = pyapi::make_class(m.attr("ABCMeta"), name, nb::make_tuple(m.attr("OptimizationObjective")),
                                       kModule, doc, has_doc);
    nb::setattr(m, name, cls);
    return cls;
}

void def_method(nb::handle cls, const char *name, std::vector<std::string> params, pyapi::Impl impl,
                std::source_location where) {
    pyapi::Signature sig;
    sig.positional.push_back("self");
    for (auto &p : params) sig.positional.push_back(std::move(p));
    sig.expect("self", method::self);
    for (auto [pname, pos] : {std::pair{"g", method::g}, {"zeta", method::zeta}, {"helper", method::helper}})
        if (std::find(sig.positional.begin(), sig.positional.end(), pname) != sig.positional.end())
            sig.expect(pname, pos);
    pyapi::define(cls, {name, std::move(sig), impl, nullptr, where});
}

void def_init(nb::handle cls, std::vector<std::string> positional, std::vector<std::string> kwonly,
              std::vector<nb::object> kwdefaults, pyapi::Impl impl, pyapi::Reads reads, std::source_location where) {
    pyapi::Signature sig;
    sig.positional.push_back("self");
    for (auto &p : positional) sig.positional.push_back(std::move(p));
    sig.kwonly = std::move(kwonly);
    sig.kwdefaults = std::move(kwdefaults);
    pyapi::define(cls, {"__init__", std::move(sig), impl, nullptr, where, std::move(reads)});
}

void def_scs_solver(nb::handle cls) { def_method(cls, "get_preferred_solver", {}, scs); }

void def_plain_constraints_and_solver(nb::handle cls) {
    def_method(cls, "get_internal_constraints", {"g", "zeta", "helper"}, new_empty_list);
    def_scs_solver(cls);
}

void bind_interface(nb::module_ &m) {
    pyapi::Signature sig;
    sig.positional = {"obj", "name"};
    pyapi::define(m, {"ensure_series", std::move(sig), ensure_series, nullptr, std::source_location::current(),
                      {{"obj", ensure_series_at::obj}, {"name", ensure_series_at::name}}});

    // No operation is marked abstract: the base class and every subclass can be instantiated.
    nb::object base = pyapi::make_class(m.attr("ABCMeta"), "OptimizationObjective",
                                        nb::make_tuple(nb::module_::import_("builtins").attr("object")), kModule, "",
                                        false);
    m.attr("OptimizationObjective") = base;
    def_method(base, "get_objective_expr", {"g", "zeta", "helper"}, not_implemented);
    def_method(base, "get_internal_constraints", {"g", "zeta", "helper"}, not_implemented);
    def_method(base, "get_preferred_solver", {}, not_implemented);
}

}  // namespace velquor::objective
