/// Exceptions raised the way Python code raises them.
#include "pyapi/pyapi.hpp"

namespace velquor::pyapi {

namespace {

/// Sets `exc` (what `X(arg)` returned) as the exception being raised, as the `raise` statement does: an
/// exception instance is raised as it is (whatever class the call belonged to); anything else is the
/// interpreter's TypeError.
[[noreturn]] void raise_instance(nb::handle exc) {
    if (!PyExceptionInstance_Check(exc.ptr())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        throw nb::python_error();
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

}  // namespace

void raise(nb::handle exc_type, nb::handle arg) {
    // The call may itself raise (a factory that fails): that error is what the `raise` statement reports.
    nb::object exc = exc_type(arg);
    raise_instance(exc);
}

void raise(nb::handle exc_type, std::string_view message) {
    raise(exc_type, nb::str(message.data(), message.size()));
}

void raise_in_handler(nb::handle exc_type, nb::handle arg, nb::python_error &original) {
    nb::object exc = exc_type(arg);
    if (!PyExceptionInstance_Check(exc.ptr())) raise_instance(exc);
    // Attached here, not by the interpreter: PyErr_SetObject chains to the exception the *interpreter* is
    // handling (an `except` block of a Python caller), which would replace the context. `original` keeps its
    // own context, so the caller's exception stays in the chain, as `raise` inside our own `except` builds it.
    if (exc.ptr() != original.value().ptr()) {
        PyException_SetContext(exc.ptr(), nb::borrow(original.value()).release().ptr());  // steals
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release().ptr());
#else
    PyErr_Restore(Py_NewRef(PyExceptionInstance_Class(exc.ptr())), Py_NewRef(exc.ptr()),
                  PyException_GetTraceback(exc.ptr()));
#endif
    throw nb::python_error();
}

void raise_bare(nb::handle exc_type) {
    // `raise X`: a class is instantiated without arguments, an instance raised as it is.
    if (PyExceptionInstance_Check(exc_type.ptr())) raise_instance(exc_type);
    nb::object exc = exc_type();
    raise_instance(exc);
}

bool matches(const nb::python_error &e, nb::handle exc_type) {
    return e.matches(exc_type);
}

nb::str format(std::string_view fmt, std::initializer_list<nb::handle> args) {
    nb::str f(fmt.data(), fmt.size());
    PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(args.size()));
    if (!t) throw nb::python_error();
    nb::tuple tuple = nb::steal<nb::tuple>(t);
    Py_ssize_t i = 0;
    for (nb::handle a : args) PyTuple_SET_ITEM(t, i++, Py_NewRef(a.ptr()));
    nb::object result = f.attr("format")(*tuple);
    if (!PyUnicode_Check(result.ptr())) {
        PyErr_SetString(PyExc_TypeError, "format() returned a non-string");
        throw nb::python_error();
    }
    return nb::steal<nb::str>(result.release());
}

}  // namespace velquor::pyapi
