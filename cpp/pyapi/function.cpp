/// The function type: binds its arguments, introspects, pickles and binds as a method like a Python function.
#include "pyapi/shared.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>
#include <cstdint>


namespace velquor::pyapi {

namespace detail {

namespace {

Shared *g_shared = nullptr;        // this module's view of the shared state
PyObject *g_module_globals = nullptr;  // namespace of the module being initialised (strong, kept for good)

thread_local Stack tls_running;
Stack *running_here() { return &tls_running; }

}  // namespace

Shared &shared() { return *g_shared; }

}  // namespace detail

namespace {

using detail::Entry;
using detail::Stack;

/// The object behind every velquor function.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionDef *def;      // binding rules and implementation (owned)
    PyObject *names;       // tuple of the parameters' names (interned), positional then keyword-only
    PyObject *globals;     // the module's namespace
    PyObject *name;        // __name__ (str)
    PyObject *qualname;    // __qualname__ (str)
    PyObject *module;      // __module__
    PyObject *doc;         // __doc__
    PyObject *dict;        // __dict__, created on first use
    PyObject *annotations; // __annotations__, created on first use
    PyObject *signature;   // inspect.Signature, built on first request
    PyObject *code;        // the code object naming this function in tracebacks, built on first failure
    PyObject *weakrefs;
};

FunctionObject *as_function(PyObject *o) { return reinterpret_cast<FunctionObject *>(o); }

/// The exception being raised, taken out of the interpreter (nullptr when none), and put back.
PyObject *take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

void put_exception(PyObject *exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (!exc) return;
    PyErr_Restore(Py_NewRef(PyExceptionInstance_Class(exc)), exc, PyException_GetTraceback(exc));
#endif
}

// ---------------------------------------------------------------------------------------------------------
// Argument binding. Errors carry the texts of compiled Python extension functions (the interpreter's own
// binding for C-level functions), which callers of this package match on.

[[noreturn]] void raise_argtuple_invalid(const std::string &name, bool exact, Py_ssize_t num_min,
                                         Py_ssize_t num_max, Py_ssize_t num_found) {
    Py_ssize_t expected = num_found < num_min ? num_min : num_max;
    const char *more_or_less = exact ? "exactly" : (num_found < num_min ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name.c_str(),
                 more_or_less, expected, expected == 1 ? "" : "s", num_found);
    throw nb::python_error();
}

[[noreturn]] void raise_double_keyword(const std::string &name, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name.c_str(), key);
    throw nb::python_error();
}

[[noreturn]] void raise_unexpected_keyword(const std::string &name, PyObject *key) {
    PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", name.c_str(), key);
    throw nb::python_error();
}

/// Index of the parameter called `key` in `names`, or -1. Compared as strings, code point by code point (a
/// name with an embedded NUL or a lone surrogate matches no parameter); identity first, as names given in
/// source code are interned like ours.
Py_ssize_t find_parameter(PyObject *names, PyObject *key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(names, i) == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = PyUnicode_Compare(PyTuple_GET_ITEM(names, i), key);
        if (eq == -1 && PyErr_Occurred()) throw nb::python_error();
        if (eq == 0) return i;
    }
    return -1;
}

void bind(FunctionObject *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, Arguments &out) {
    const FunctionDef &def = *f->def;
    const Signature &sig = def.signature;
    const Py_ssize_t n_pos = static_cast<Py_ssize_t>(sig.positional.size());
    const Py_ssize_t n_required = n_pos - static_cast<Py_ssize_t>(sig.defaults.size());
    const bool exact = n_required == n_pos;

    if (nargs > n_pos && sig.varargs.empty()) raise_argtuple_invalid(def.name, exact, n_required, n_pos, nargs);

    const Py_ssize_t n_given = std::min(nargs, n_pos);
    for (Py_ssize_t i = 0; i < n_given; ++i) out.slot(i) = nb::borrow(args[i]);
    if (!sig.varargs.empty()) {
        PyObject *rest = PyTuple_New(nargs - n_given);
        if (!rest) throw nb::python_error();
        for (Py_ssize_t i = n_given; i < nargs; ++i) PyTuple_SET_ITEM(rest, i - n_given, Py_NewRef(args[i]));
        out.varargs = nb::steal<nb::tuple>(rest);
    }

    const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (n_kw > 0) {
        // Which parameter each keyword names (-1: none), found once.
        std::vector<Py_ssize_t> target(static_cast<size_t>(n_kw));
        for (Py_ssize_t k = 0; k < n_kw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name.c_str());
                throw nb::python_error();
            }
            target[k] = find_parameter(f->names, key);
        }
        // Required parameters not given by position are looked up among the keywords first, in order; the
        // first one missing is reported with the number of parameters before it.
        for (Py_ssize_t i = nargs; i < n_required; ++i)
            if (std::find(target.begin(), target.end(), i) == target.end())
                raise_argtuple_invalid(def.name, exact, n_required, n_pos, i);
        for (Py_ssize_t k = 0; k < n_kw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            PyObject *value = args[nargs + k];
            Py_ssize_t i = target[k];
            if (i >= 0 && i < n_pos) {
                if (i < nargs) raise_double_keyword(def.name, key);
                out.slot(i) = nb::borrow(value);
                continue;
            }
            if (i >= n_pos) {
                out.slot(i) = nb::borrow(value);
                continue;
            }
            if (sig.varkw.empty()) raise_unexpected_keyword(def.name, key);
            if (!out.varkw) out.varkw = nb::dict();
            if (PyDict_SetItem(out.varkw.ptr(), key, value) < 0) throw nb::python_error();
        }
    } else if (nargs < n_required) {
        raise_argtuple_invalid(def.name, exact, n_required, n_pos, nargs);
    }
    if (!sig.varkw.empty() && !out.varkw) out.varkw = nb::dict();

    for (Py_ssize_t i = n_required; i < n_pos; ++i)
        if (!out.slot(i).is_valid()) out.slot(i) = sig.defaults[i - n_required];
    for (size_t j = 0; j < sig.kwonly.size(); ++j) {
        nb::object &slot = out.slot(n_pos + j);
        if (slot.is_valid()) continue;
        if (!sig.kwdefaults[j].is_valid()) {
            PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %s", def.name.c_str(),
                         sig.kwonly[j].c_str());
            throw nb::python_error();
        }
        slot = sig.kwdefaults[j];
    }
}

// ---------------------------------------------------------------------------------------------------------
// Recursion guard: the interpreter's recursion limit counted in nested function objects, and a margin of
// machine stack that is never given up (a cycle through other C code must not exhaust it either).

/// The lowest address calls may start from on this thread: a quarter of its stack (at most 1 MiB) above the
/// stack's end is never given up. nullptr when the bounds cannot be read.
const char *stack_floor() {
    const char *floor = nullptr;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return floor;
    void *addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size > 0)
        floor = static_cast<const char *>(addr) + std::min<size_t>(size / 4, 1u << 20);
    pthread_attr_destroy(&attr);
    return floor;
}

bool stack_exhausted(Stack &stack) {
    if (!stack.probed) [[unlikely]] {
        stack.floor = stack_floor();
        stack.probed = true;
    }
    char here;
    return stack.floor && &here < stack.floor;
}

// ---------------------------------------------------------------------------------------------------------
// Tracebacks: one line per failing function object, naming the function and the file that defines it.

void add_traceback(FunctionObject *f) {
    // Called with the exception set; a failure to build the line keeps the original exception, without it.
    PyObject *exc = take_exception();
    if (!f->code) {
        const std::source_location &w = f->def->where;
        f->code = reinterpret_cast<PyObject *>(
            PyCode_NewEmpty(w.file_name(), f->def->name.c_str(), static_cast<int>(w.line())));
    }
    PyFrameObject *frame =
        f->code ? PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(f->code), f->globals, nullptr)
                : nullptr;
    PyErr_Clear();
    put_exception(exc);
    if (!frame) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

// ---------------------------------------------------------------------------------------------------------
// Calling

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *f = as_function(self);
    PyThreadState *ts = PyThreadState_Get();
    Stack &stack = detail::running(ts);
    if (stack.size() >= static_cast<size_t>(Py_GetRecursionLimit()) || stack_exhausted(stack)) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        return nullptr;
    }
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    try {
        Arguments bound(f->def->signature.positional.size() + f->def->signature.kwonly.size());
        bind(f, args, nargs, kwnames, bound);
        // Counted as a frame by warnings issued inside (a Python function has one).
        stack.push_back(Entry{detail::current_frame_identity(ts), f->globals});
        struct Pop {
            Stack &s;
            ~Pop() { s.pop_back(); }
        } pop{stack};
        nb::object result = f->def->impl(bound);
        if (!result.is_valid()) {
            // An implementation returning nothing with an error set (or none): reported, never a NULL
            // without an exception.
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "velquor function returned no result");
            throw nb::python_error();
        }
        return result.release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        e.type();  // nanobind's own exceptions name their Python type
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "velquor: unknown C++ exception");
    }
    add_traceback(f);
    return nullptr;
}

// ---------------------------------------------------------------------------------------------------------
// Object protocol

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_function(self);
    Py_VISIT(f->names);
    Py_VISIT(f->globals);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    Py_VISIT(f->code);
    if (f->def) {
        for (const nb::object &o : f->def->signature.defaults) Py_VISIT(o.ptr());
        for (const nb::object &o : f->def->signature.kwdefaults) Py_VISIT(o.ptr());
    }
    return 0;
}

int function_clear(PyObject *self) {
    FunctionObject *f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->code);
    if (f->def) {
        // Defaults break cycles as a Python function's do; a cleared function is unreachable, but stays sound.
        for (nb::object &o : f->def->signature.defaults) o = nb::none();
        for (nb::object &o : f->def->signature.kwdefaults)
            if (o.is_valid()) o = nb::none();
    }
    return 0;
}

void function_dealloc(PyObject *self) {
    FunctionObject *f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->names);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    delete f->def;
    f->def = nullptr;
    PyObject_GC_Del(self);
}

PyObject *function_descr_get(PyObject *self, PyObject *instance, PyObject *) {
    // Functions are descriptors: stored in a class they bind to the instance, as `def` methods do.
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// `__reduce__`: by reference, as functions of modules are pickled: the qualified name, found again through
// `__module__` by pickle (and left as it is by copy and deepcopy).
PyObject *function_reduce(PyObject *self, PyObject *) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }

int set_str(PyObject *&slot, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject *self, PyObject *value, void *) { return set_str(as_function(self)->name, value, "__name__"); }
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_str(as_function(self)->qualname, value, "__qualname__");
}

PyObject *get_optional(PyObject *slot) { return Py_NewRef(slot ? slot : Py_None); }
PyObject *get_module(PyObject *self, void *) { return get_optional(as_function(self)->module); }
PyObject *get_doc(PyObject *self, void *) { return get_optional(as_function(self)->doc); }
int set_module(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
    return 0;
}
int set_doc(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
    return 0;
}

PyObject *get_globals(PyObject *self, void *) { return get_optional(as_function(self)->globals); }

PyObject *get_annotations(PyObject *self, void *) {
    // Annotations live in the stubs; the function object answers with a dict of its own, empty until set.
    FunctionObject *f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *value, void *) {
    if (value && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, value == Py_None ? nullptr : Py_XNewRef(value));
    return 0;
}

PyObject *get_defaults(PyObject *self, void *) {
    const auto &d = as_function(self)->def->signature.defaults;
    if (d.empty()) Py_RETURN_NONE;
    PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(d.size()));
    if (!t) return nullptr;
    for (size_t i = 0; i < d.size(); ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(d[i].ptr()));
    return t;
}

PyObject *get_kwdefaults(PyObject *self, void *) {
    const Signature &s = as_function(self)->def->signature;
    nb::dict d;
    for (size_t j = 0; j < s.kwonly.size(); ++j)
        if (s.kwdefaults[j].is_valid())
            if (PyDict_SetItemString(d.ptr(), s.kwonly[j].c_str(), s.kwdefaults[j].ptr()) < 0) return nullptr;
    if (d.size() == 0) Py_RETURN_NONE;
    return d.release().ptr();
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

PyObject *get_signature(PyObject *self, void *) {
    FunctionObject *f = as_function(self);
    if (!f->signature) {
        try {
            f->signature = build_signature(*f->def).release().ptr();
        } catch (nb::python_error &e) {
            e.restore();
            return nullptr;
        }
    }
    return Py_NewRef(f->signature);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A static type, as the interpreter's own function type is: `type(f).__module__` and `__name__` come from its
// name, while `__module__`, `__doc__` and the rest of each function are its own, settable attributes.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type_object = {PyVarObject_HEAD_INIT(nullptr, 0) "velquor.function"};
#pragma GCC diagnostic pop

PyTypeObject *make_function_type() {
    PyTypeObject *t = &function_type_object;
    t->tp_basicsize = sizeof(FunctionObject);
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                  Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t->tp_dealloc = function_dealloc;
    t->tp_traverse = function_traverse;
    t->tp_clear = function_clear;
    t->tp_call = PyVectorcall_Call;
    t->tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t->tp_dictoffset = offsetof(FunctionObject, dict);
    t->tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t->tp_descr_get = function_descr_get;
    t->tp_repr = function_repr;
    t->tp_methods = function_methods;
    t->tp_getset = function_getset;
    if (PyType_Ready(t) < 0) throw nb::python_error();
    return t;
}

/// The interned name of each parameter, positional then keyword-only.
PyObject *parameter_names(const Signature &sig) {
    PyObject *names = PyTuple_New(static_cast<Py_ssize_t>(sig.positional.size() + sig.kwonly.size()));
    if (!names) throw nb::python_error();
    Py_ssize_t i = 0;
    for (const auto *list : {&sig.positional, &sig.kwonly})
        for (const std::string &n : *list) {
            PyObject *s = PyUnicode_InternFromString(n.c_str());
            if (!s) {
                Py_DECREF(names);
                throw nb::python_error();
            }
            PyTuple_SET_ITEM(names, i++, s);
        }
    return names;
}

PyObject *new_str(const std::string &s) {
    PyObject *o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (!o) throw nb::python_error();
    return o;
}

}  // namespace

Param Signature::param(std::string_view wanted) const {
    size_t i = 0;
    for (const auto *list : {&positional, &kwonly})
        for (const std::string &n : *list) {
            if (n == wanted) return Param{i};
            ++i;
        }
    throw std::logic_error("velquor: no parameter called " + std::string(wanted));
}

void Signature::expect(std::string_view wanted, Param expected) const {
    if (param(wanted).index != expected.index)
        throw std::logic_error("velquor: parameter " + std::string(wanted) + " is not where it is read");
}

void register_function_type(nb::module_ &m) {
    using namespace detail;
    if (!g_shared) {
        PyObject *interp = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
        if (!interp) throw nb::python_error();
        nb::str key(SHARED_KEY);
        PyObject *capsule = PyDict_GetItemWithError(interp, key.ptr());  // borrowed
        if (!capsule && PyErr_Occurred()) throw nb::python_error();
        nb::object held = nb::borrow(capsule);
        if (capsule) {
            if (!PyCapsule_IsValid(capsule, SHARED_CAPSULE)) {
                PyErr_Format(PyExc_ImportError, "%s: built against another version of the velquor core "
                             "than the modules already loaded (%s)", PyModule_GetName(m.ptr()), SHARED_CAPSULE);
                throw nb::python_error();
            }
            auto *s = static_cast<Shared *>(PyCapsule_GetPointer(capsule, SHARED_CAPSULE));
            if (!s || s->version != SHARED_VERSION || s->size != sizeof(Shared)) {
                PyErr_Format(PyExc_ImportError, "%s: incompatible velquor core state", PyModule_GetName(m.ptr()));
                throw nb::python_error();
            }
            g_shared = s;
        } else {
            // The first module: publishes the state for the life of the interpreter (function objects of
            // every module use the type until the very end).
            auto *s = new Shared{SHARED_VERSION, sizeof(Shared), &running_here, make_function_type(), 0, nullptr};
            PyObject *c = PyCapsule_New(s, SHARED_CAPSULE, nullptr);
            if (!c) throw nb::python_error();
            nb::object owner = nb::steal(c);
            if (PyDict_SetItemString(interp, SHARED_KEY, c) < 0) throw nb::python_error();
            g_shared = s;
        }
    }
    // Functions defined from now on run in this module's namespace (a re-import brings a new one).
    PyObject *dict = PyModule_GetDict(m.ptr());  // borrowed
    if (!dict) throw nb::python_error();
    Py_XSETREF(g_module_globals, Py_NewRef(dict));
}

nb::object make_function(FunctionDef def) {
    using namespace detail;
    if (!g_shared || !g_module_globals) throw std::logic_error("velquor: register_function_type() not called");
    if (def.qualname.empty()) def.qualname = def.name;
    if (def.signature.kwdefaults.size() < def.signature.kwonly.size())
        def.signature.kwdefaults.resize(def.signature.kwonly.size());
    if (def.signature.defaults.size() > def.signature.positional.size())
        throw std::logic_error("velquor: " + def.name + "() has more defaults than parameters");

    PyTypeObject *type = g_shared->function_type;
    FunctionObject *f = PyObject_GC_New(FunctionObject, type);
    if (!f) throw nb::python_error();
    // Every field is valid before anything can fail, so dealloc can run at any point.
    f->vectorcall = function_vectorcall;
    f->def = nullptr;
    f->names = f->globals = f->name = f->qualname = f->module = f->doc = nullptr;
    f->dict = f->annotations = f->signature = f->code = f->weakrefs = nullptr;
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(f));
    f->names = parameter_names(def.signature);
    f->globals = Py_NewRef(g_module_globals);
    f->name = new_str(def.name);
    f->qualname = new_str(def.qualname);
    f->module = new_str(def.module);
    f->doc = def.has_doc ? new_str(def.doc) : Py_NewRef(Py_None);
    f->def = new FunctionDef(std::move(def));
    PyObject_GC_Track(f);
    return result;
}

nb::object def_function(nb::handle scope, FunctionDef def) {
    std::string name = def.name;
    nb::object f = make_function(std::move(def));
    nb::setattr(scope, name.c_str(), f);
    return f;
}

nb::object define_detached(const char *module, const char *owner, Def d) {
    FunctionDef def;
    def.name = d.name;
    def.qualname = (owner && *owner) ? std::string(owner) + "." + d.name : std::string(d.name);
    def.module = module;
    if (d.doc) {
        def.doc = d.doc;
        def.has_doc = true;
    }
    def.signature = std::move(d.signature);
    for (const auto &[pname, at] : d.reads) def.signature.expect(pname, at);
    def.impl = d.impl;
    def.where = d.where;
    return make_function(std::move(def));
}

nb::object define(nb::handle scope, Def d) {
    // A class knows its module through __module__, a module through __name__.
    std::string module, owner;
    if (PyType_Check(scope.ptr())) {
        module = nb::cast<std::string>(scope.attr("__module__"));
        owner = nb::cast<std::string>(scope.attr("__qualname__"));
    } else {
        module = nb::cast<std::string>(scope.attr("__name__"));
    }
    std::string name = d.name;
    nb::object f = define_detached(module.c_str(), owner.c_str(), std::move(d));
    nb::setattr(scope, name.c_str(), f);
    return f;
}

// ---------------------------------------------------------------------------------------------------------
// The namespace of the running function

Globals globals() {
    const Stack &stack = detail::running();
    if (stack.empty()) throw std::logic_error("velquor: globals() outside a running function");
    return Globals(stack.back().globals);
}

namespace {

/// `name` as an interned string, made once per name: lookups with it take the dictionaries' identity path.
/// A direct-mapped cache keyed by the literal's address: a `Name` is always a string literal, whose address
/// never holds other text, so the address alone confirms a hit.
PyObject *interned(Name name) {
    struct Slot {
        const char *key;
        PyObject *str;  // strong, kept for good like the interned strings themselves
    };
    static Slot cache[1024];
    Slot &slot = cache[(reinterpret_cast<std::uintptr_t>(name.text) >> 3) & 1023];
    if (slot.key == name.text) [[likely]]
        return slot.str;
    PyObject *s = PyUnicode_InternFromString(name.text);
    if (!s) throw nb::python_error();
    Py_XDECREF(slot.str);
    slot = Slot{name.text, s};
    return s;
}

}  // namespace

nb::handle name(Name text) { return interned(text); }

nb::object attr(nb::handle obj, Name text) {
    PyObject *key = interned(text);
    // A plain module's own names live in its dictionary, and the module type defines no attribute that is not
    // a dunder: for those names the dictionary answers exactly what the generic lookup would, without the
    // type's method-resolution pass (the interpreter's own inline cache does the same for `module.name`).
    if (PyModule_CheckExact(obj.ptr()) && !(text.text[0] == '_' && text.text[1] == '_')) {
        PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(obj.ptr()), key);  // borrowed
        if (value) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    PyObject *r = PyObject_GetAttr(obj.ptr(), key);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object call_method(nb::handle obj, Name text) {
    PyObject *r = PyObject_CallMethodNoArgs(obj.ptr(), interned(text));
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object Globals::attr(Name name) const {
    PyObject *key = interned(name);
    PyObject *value = PyDict_GetItemWithError(dict_.ptr(), key);  // borrowed
    if (value) return nb::borrow(value);
    if (PyErr_Occurred()) throw nb::python_error();
    // Then the builtins, as the interpreter looks up a global name.
    PyObject *builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins) {
        if (PyDict_Check(builtins)) {
            value = PyDict_GetItemWithError(builtins, key);
            if (value) return nb::borrow(value);
            if (PyErr_Occurred()) throw nb::python_error();
        } else {
            nb::object found = getattr_or_none(builtins, name.text);
            if (found.is_valid()) return found;
        }
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.text);
    throw nb::python_error();
}

}  // namespace velquor::pyapi
