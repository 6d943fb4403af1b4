/// Exceptions raised the way Python code raises them.
#include "pyapi/pyapi.hpp"

namespace velquor::pyapi {

void raise(nb::handle exc_type, nb::handle arg) {
    nb::object exc = exc_type(arg);
    PyErr_SetObject(exc_type.ptr(), exc.ptr());
    throw nb::python_error();
}

void raise(nb::handle exc_type, std::string_view message) {
    raise(exc_type, nb::str(message.data(), message.size()));
}

void raise_in_handler(nb::handle exc_type, nb::handle arg, nb::python_error &original) {
    nb::object exc = exc_type(arg);
    PyErr_SetObject(exc_type.ptr(), exc.ptr());
    // PyErr_SetObject chains to the exception the *interpreter* is handling (an `except` block of a Python
    // caller), which would replace the context: attach `original` afterwards, as `raise` inside our own
    // `except` would. `original` keeps its own context, so the caller's exception stays in the chain.
    nb::object context = nb::borrow(original.value());
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *raised = PyErr_GetRaisedException();
    PyException_SetContext(raised, context.release().ptr());  // steals the reference
    PyErr_SetRaisedException(raised);
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyException_SetContext(value, context.release().ptr());  // steals the reference
    PyErr_Restore(type, value, tb);
#endif
    throw nb::python_error();
}

void raise_bare(nb::handle exc_type) {
    PyErr_SetNone(exc_type.ptr());
    throw nb::python_error();
}

bool matches(const nb::python_error &e, nb::handle exc_type) {
    return e.matches(exc_type);
}

nb::str format(std::string_view fmt, std::initializer_list<nb::handle> args) {
    nb::str f(fmt.data(), fmt.size());
    nb::tuple t = nb::steal<nb::tuple>(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (nb::handle a : args) PyTuple_SET_ITEM(t.ptr(), i++, nb::borrow(a).release().ptr());
    return nb::steal<nb::str>(f.attr("format")(*t).release());
}

}  // namespace velquor::pyapi
