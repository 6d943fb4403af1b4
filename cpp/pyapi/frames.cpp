/// Stack levels of warnings issued by function objects, which have no frame of their own.
#include "pyapi/pyapi.hpp"

#include <stdexcept>
#include <vector>

namespace velquor::pyapi {

namespace {

/// One running function object and the Python frame that was on top when it was entered (its caller, or the
/// caller of the C++ code that called it).
struct Entry {
    PyFrameObject *frame;  // borrowed: the frame is running for as long as the entry exists
    const char *module;    // the function's __module__, alive while it runs
};
using Stack = std::vector<Entry>;

// Each extension module links its own copy of this layer, but a warning issued in one module must see the
// functions of the others (the driver calls objective methods): the stack lives in the thread state's
// dictionary, shared by the three modules, built from this same source.
constexpr const char *STACK_KEY = "velquor.pyapi.running";

Stack &running() {
    PyObject *dict = PyThreadState_GetDict();  // borrowed
    if (!dict) throw std::runtime_error("velquor: no Python thread state");
    PyObject *capsule = PyDict_GetItemString(dict, STACK_KEY);  // borrowed
    if (capsule) {
        void *p = PyCapsule_GetPointer(capsule, STACK_KEY);
        if (!p) throw nb::python_error();
        return *static_cast<Stack *>(p);
    }
    auto *stack = new Stack();
    PyObject *c = PyCapsule_New(stack, STACK_KEY, [](PyObject *cap) {
        delete static_cast<Stack *>(PyCapsule_GetPointer(cap, STACK_KEY));
    });
    if (!c) {
        delete stack;
        throw nb::python_error();
    }
    nb::object owner = nb::steal(c);
    if (PyDict_SetItemString(dict, STACK_KEY, c) < 0) throw nb::python_error();
    return *stack;
}

}  // namespace

CallFrame::CallFrame(const FunctionDef &def) {
    Stack &stack = running();
    stack.push_back(Entry{PyEval_GetFrame(), def.module.c_str()});
    stack_ = &stack;
}

CallFrame::~CallFrame() { static_cast<Stack *>(stack_)->pop_back(); }

WarnSite warn_site(int python_stacklevel) {
    // The call stack as Python would see it, innermost first: a function object entered while frame F was on
    // top sits between F and the frames F called. Level 1 is the innermost function object itself.
    int level = python_stacklevel < 1 ? 1 : python_stacklevel;
    const Stack &stack = running();
    Py_ssize_t idx = static_cast<Py_ssize_t>(stack.size()) - 1;
    PyFrameObject *frame = PyEval_GetFrame();
    int real_depth = 0;  // stacklevel that names `frame` when passed from C++ (1 = the top Python frame)
    nb::object hold;     // keeps the frame reached through PyFrame_GetBack alive
    while (true) {
        while (idx >= 0 && stack[idx].frame == frame) {
            if (--level == 0) return WarnSite{true, stack[idx].module, 0};
            --idx;
        }
        if (!frame) break;
        ++real_depth;
        if (--level == 0) return WarnSite{false, std::string(), real_depth};
        hold = nb::steal((PyObject *)PyFrame_GetBack(frame));
        frame = (PyFrameObject *)hold.ptr();
    }
    // Beyond the outermost frame: the interpreter attributes such warnings to `sys`.
    return WarnSite{false, std::string(), real_depth + level};
}

void warn_as_python(nb::handle warnings, nb::handle category, nb::handle message, int python_stacklevel) {
    WarnSite site = warn_site(python_stacklevel);
    if (!site.in_function) {
        // warnings.warn(message, category, stacklevel) called from C++: level 1 is the top Python frame.
        warnings.attr("warn")(message, category, site.stacklevel);
        return;
    }
    // The level names the C++ function itself: the warning belongs to its module, as a Python function's
    // warning with stacklevel=1 belongs to the line that issues it (same filters, same once-per-place
    // registry of the module).
    nb::module_ mod = module(site.module.c_str());
    nb::object filename = getattr_or_none(mod, "__file__");
    if (!filename.is_valid() || filename.is_none()) filename = nb::str(site.module.c_str());
    nb::object registry = mod.attr("__dict__").attr("setdefault")("__warningregistry__", nb::dict());
    warnings.attr("warn_explicit")(message, category, filename, 0, nb::str(site.module.c_str()), registry);
}

}  // namespace velquor::pyapi
