/// Stack levels of warnings issued by function objects, which have no frame of their own.
#include "pyapi/shared.hpp"

namespace velquor::pyapi {

WarnSite warn_site(int python_stacklevel) {
    // The call stack as Python would see it, innermost first: a function object entered while frame F was on
    // top sits between F and the frames F called. Level 1 is the innermost function object itself.
    int level = python_stacklevel < 1 ? 1 : python_stacklevel;
    const detail::Stack &stack = detail::running();
    Py_ssize_t idx = static_cast<Py_ssize_t>(stack.size()) - 1;
    PyFrameObject *frame = PyEval_GetFrame();
    int real_depth = 0;  // stacklevel that names `frame` when passed from C++ (1 = the top Python frame)
    nb::object hold;     // keeps the frame reached through PyFrame_GetBack alive
    while (true) {
        while (idx >= 0 && stack[idx].frame == detail::frame_identity(frame)) {
            if (--level == 0) return WarnSite{true, stack[idx].globals, 0};
            --idx;
        }
        if (!frame) break;
        ++real_depth;
        if (--level == 0) return WarnSite{false, nb::handle(), real_depth};
        hold = nb::steal((PyObject *)PyFrame_GetBack(frame));
        frame = (PyFrameObject *)hold.ptr();
    }
    // Beyond the outermost frame: the interpreter attributes such warnings to `sys`.
    return WarnSite{false, nb::handle(), real_depth + level};
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
    // registry of the module). Read from the function's globals, as warnings.warn reads a frame's.
    nb::dict globals = nb::borrow<nb::dict>(site.globals);
    nb::object module = globals.contains("__name__") ? nb::object(globals["__name__"]) : nb::object(nb::str("sys"));
    nb::object filename = globals.contains("__file__") ? nb::object(globals["__file__"]) : nb::object();
    if (!filename.is_valid() || filename.is_none()) filename = module;
    nb::object registry = globals.attr("setdefault")("__warningregistry__", nb::dict());
    warnings.attr("warn_explicit")(message, category, filename, 0, module, registry);
}

}  // namespace velquor::pyapi
