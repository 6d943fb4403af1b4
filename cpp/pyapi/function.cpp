/// A function object that binds its arguments, introspects and binds as a method like a Python function.
#include "pyapi/pyapi.hpp"

#include <nanobind/stl/vector.h>

#include <algorithm>

namespace velquor::pyapi {

namespace {

/// The C++ side of one function object.
struct Function {
    FunctionDef def;
    nb::object signature;  // inspect.Signature, built on first request
};

// Argument errors carry the texts of compiled Python extension functions (the interpreter's own binding
// for C-level functions), which callers of this package match on.
[[noreturn]] void raise_argtuple_invalid(const std::string &name, bool exact, Py_ssize_t num_min,
                                         Py_ssize_t num_max, Py_ssize_t num_found) {
    Py_ssize_t expected = num_found < num_min ? num_min : num_max;
    const char *more_or_less = exact ? "exactly" : (num_found < num_min ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name.c_str(),
                 more_or_less, expected, expected == 1 ? "" : "s", num_found);
    throw nb::python_error();
}

[[noreturn]] void raise_double_keyword(const std::string &name, nb::handle key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name.c_str(), key.ptr());
    throw nb::python_error();
}

[[noreturn]] void raise_unexpected_keyword(const std::string &name, nb::handle key) {
    PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", name.c_str(), key.ptr());
    throw nb::python_error();
}

Py_ssize_t index_of(const std::vector<std::string> &names, const char *key) {
    auto it = std::find(names.begin(), names.end(), key);
    return it == names.end() ? -1 : static_cast<Py_ssize_t>(it - names.begin());
}

Arguments bind(const FunctionDef &def, nb::args args, nb::kwargs kwargs) {
    const Signature &sig = def.signature;
    const Py_ssize_t n_pos = static_cast<Py_ssize_t>(sig.positional.size());
    const Py_ssize_t n_required = n_pos - static_cast<Py_ssize_t>(sig.defaults.size());
    const Py_ssize_t nargs = static_cast<Py_ssize_t>(args.size());
    const bool exact = n_required == n_pos;

    if (nargs > n_pos && sig.varargs.empty()) raise_argtuple_invalid(def.name, exact, n_required, n_pos, nargs);

    Arguments out;
    out.values.resize(sig.positional.size() + sig.kwonly.size());
    for (Py_ssize_t i = 0; i < std::min(nargs, n_pos); ++i) out.values[i] = nb::borrow(args[i]);
    if (!sig.varargs.empty()) {
        PyObject *rest = PyTuple_GetSlice(args.ptr(), std::min(nargs, n_pos), nargs);
        if (!rest) throw nb::python_error();
        out.varargs = nb::steal<nb::tuple>(rest);
    }

    // Required parameters not given by position are looked up by keyword first, in order; the first one
    // missing is reported with the number of parameters before it.
    for (Py_ssize_t i = nargs; i < n_required; ++i) {
        PyObject *v = PyDict_GetItemString(kwargs.ptr(), sig.positional[i].c_str());  // borrowed
        if (!v) raise_argtuple_invalid(def.name, exact, n_required, n_pos, i);
    }

    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name.c_str());
            throw nb::python_error();
        }
        const char *k = PyUnicode_AsUTF8(key);
        if (!k) throw nb::python_error();
        Py_ssize_t i = index_of(sig.positional, k);
        if (i >= 0) {
            if (i < nargs) raise_double_keyword(def.name, key);
            out.values[i] = nb::borrow(value);
            continue;
        }
        Py_ssize_t j = index_of(sig.kwonly, k);
        if (j >= 0) {
            out.values[n_pos + j] = nb::borrow(value);
            continue;
        }
        if (sig.varkw.empty()) raise_unexpected_keyword(def.name, key);
        if (!out.varkw) out.varkw = nb::dict();
        out.varkw[nb::handle(key)] = nb::handle(value);
    }
    if (!out.varkw) out.varkw = nb::dict();

    for (Py_ssize_t i = n_required; i < n_pos; ++i)
        if (!out.values[i].is_valid()) out.values[i] = sig.defaults[i - n_required];
    for (size_t j = 0; j < sig.kwonly.size(); ++j) {
        nb::object &slot = out.values[n_pos + j];
        if (slot.is_valid()) continue;
        if (!sig.kwdefaults[j].is_valid()) {
            PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %s", def.name.c_str(),
                         sig.kwonly[j].c_str());
            throw nb::python_error();
        }
        slot = sig.kwdefaults[j];
    }
    return out;
}

nb::object build_signature(const FunctionDef &def) {
    using namespace nb::literals;
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object Parameter = inspect.attr("Parameter");
    nb::list params;
    const Signature &sig = def.signature;
    const size_t n_required = sig.positional.size() - sig.defaults.size();
    for (size_t i = 0; i < sig.positional.size(); ++i) {
        nb::object kind = Parameter.attr("POSITIONAL_OR_KEYWORD");
        if (i < n_required)
            params.append(Parameter(sig.positional[i], kind));
        else
            params.append(Parameter(sig.positional[i], kind, "default"_a = sig.defaults[i - n_required]));
    }
    if (!sig.varargs.empty()) params.append(Parameter(sig.varargs, Parameter.attr("VAR_POSITIONAL")));
    for (size_t j = 0; j < sig.kwonly.size(); ++j) {
        nb::object kind = Parameter.attr("KEYWORD_ONLY");
        if (sig.kwdefaults[j].is_valid())
            params.append(Parameter(sig.kwonly[j], kind, "default"_a = sig.kwdefaults[j]));
        else
            params.append(Parameter(sig.kwonly[j], kind));
    }
    if (!sig.varkw.empty()) params.append(Parameter(sig.varkw, Parameter.attr("VAR_KEYWORD")));
    return inspect.attr("Signature")(params);
}

}  // namespace

void register_function_type(nb::module_ &m) {
    using namespace nb::literals;
    nb::class_<Function> cls(m, "function", nb::dynamic_attr());
    cls
        .def("__call__",
             [](Function &f, nb::args args, nb::kwargs kwargs) {
                 Arguments bound = bind(f.def, std::move(args), std::move(kwargs));
                 // Counted as a frame by warnings issued inside (a Python function has one).
                 CallFrame running(f.def);
                 return f.def.impl(bound);
             })
        // Functions are descriptors: stored in a class they bind to the instance, as `def` methods do.
        .def("__get__",
             [](nb::handle self, nb::handle instance, nb::handle) -> nb::object {
                 if (instance.is_none()) return nb::borrow(self);
                 PyObject *bound = PyMethod_New(self.ptr(), instance.ptr());
                 if (!bound) throw nb::python_error();
                 return nb::steal(bound);
             },
             "instance"_a.none(), "owner"_a.none() = nb::none())
        .def("__repr__",
             [](nb::handle self) {
                 Function &f = nb::cast<Function &>(self);
                 PyObject *r = PyUnicode_FromFormat("<function %s at %p>", f.def.qualname.c_str(), self.ptr());
                 if (!r) throw nb::python_error();
                 return nb::steal<nb::str>(r);
             })
        .def_prop_ro("__defaults__",
                     [](Function &f) -> nb::object {
                         const auto &d = f.def.signature.defaults;
                         if (d.empty()) return nb::none();
                         nb::list l;
                         for (const auto &o : d) l.append(o);
                         return nb::tuple(l);
                     })
        .def_prop_ro("__kwdefaults__",
                     [](Function &f) -> nb::object {
                         const Signature &s = f.def.signature;
                         nb::dict d;
                         for (size_t j = 0; j < s.kwonly.size(); ++j)
                             if (s.kwdefaults[j].is_valid()) d[nb::str(s.kwonly[j].c_str())] = s.kwdefaults[j];
                         if (d.size() == 0) return nb::none();
                         return d;
                     })
        .def_prop_ro("__signature__", [](Function &f) {
            if (!f.signature.is_valid()) f.signature = build_signature(f.def);
            return f.signature;
        });
    // __name__, __qualname__, __module__ and __doc__ of a type are the type's own when set through setattr;
    // per-instance values need properties placed in the type's dictionary directly.
    auto instance_property = [&](const char *name, auto getter) {
        nb::object fget = nb::cpp_function(getter, nb::is_method());
        nb::object prop = nb::module_::import_("builtins").attr("property")(fget);
        if (PyDict_SetItemString(((PyTypeObject *)cls.ptr())->tp_dict, name, prop.ptr()) < 0) throw nb::python_error();
    };
    instance_property("__name__", [](Function &f) { return f.def.name; });
    instance_property("__qualname__", [](Function &f) { return f.def.qualname; });
    instance_property("__module__", [](Function &f) { return f.def.module; });
    instance_property("__doc__", [](Function &f) -> nb::object {
        if (!f.def.has_doc) return nb::none();
        return nb::str(f.def.doc.c_str(), f.def.doc.size());
    });
    PyType_Modified((PyTypeObject *)cls.ptr());
    // The type is not a public name of the module, but it must outlive the attribute: the registry forgets a
    // type once it is collected. One reference is kept for the life of the process, like a static type's.
    cls.inc_ref();
    nb::delattr(m, "function");
}

nb::object make_function(FunctionDef def) {
    if (def.qualname.empty()) def.qualname = def.name;
    if (def.signature.kwdefaults.size() < def.signature.kwonly.size())
        def.signature.kwdefaults.resize(def.signature.kwonly.size());
    return nb::cast(Function{std::move(def), nb::object()}, nb::rv_policy::move);
}

nb::object def_function(nb::handle scope, FunctionDef def) {
    std::string name = def.name;
    nb::object f = make_function(std::move(def));
    nb::setattr(scope, name.c_str(), f);
    return f;
}

}  // namespace velquor::pyapi
