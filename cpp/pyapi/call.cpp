/// Calls with keyword arguments merged the way `f(a=x, **rest)` merges them, and sequence unpacking.
#include "pyapi/pyapi.hpp"

namespace velquor::pyapi {

namespace {

/// The name the interpreter shows for a callable in call errors: "module.qualname()" (no module for
/// builtins), or `str(f)` when the callable has no qualified name.
nb::object function_str(nb::handle f) {
    nb::object qualname = getattr_or_none(f, "__qualname__");
    if (!qualname.is_valid()) return nb::str(f);
    nb::object module = getattr_or_none(f, "__module__");
    if (module.is_valid() && !module.is_none() && compare(module, nb::str("builtins"), Cmp::ne)) {
        PyObject *s = PyUnicode_FromFormat("%S.%S()", module.ptr(), qualname.ptr());
        if (!s) throw nb::python_error();
        return nb::steal(s);
    }
    PyObject *s = PyUnicode_FromFormat("%S()", qualname.ptr());
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

}  // namespace

nb::object call_with_kwargs(nb::handle f, std::initializer_list<std::pair<const char *, nb::handle>> named,
                            nb::handle rest) {
    nb::dict kwargs;
    for (const auto &[name, value] : named) kwargs[name] = value;
    if (rest.is_valid() && !rest.is_none()) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(rest.ptr(), &pos, &key, &value)) {
            int present = PyDict_Contains(kwargs.ptr(), key);
            if (present < 0) throw nb::python_error();
            if (present) {
                // The interpreter's text for `f(verbose=..., **{"verbose": ...})`.
                nb::object name = function_str(f);
                PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", name.ptr(), key);
                throw nb::python_error();
            }
            if (PyDict_SetItem(kwargs.ptr(), key, value) < 0) throw nb::python_error();
        }
    }
    PyObject *result = PyObject_Call(f.ptr(), nb::tuple().ptr(), kwargs.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

std::vector<nb::object> unpack(nb::handle obj, size_t n) {
    // `a, b = obj`, with the interpreter's error texts.
    PyObject *it = PyObject_GetIter(obj.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(obj.ptr())->tp_iter == nullptr &&
            !PySequence_Check(obj.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj.ptr())->tp_name);
        }
        throw nb::python_error();
    }
    nb::object iter = nb::steal(it);
    std::vector<nb::object> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        PyObject *item = PyIter_Next(iter.ptr());
        if (!item) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, i);
            throw nb::python_error();
        }
        out.push_back(nb::steal(item));
    }
    PyObject *extra = PyIter_Next(iter.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
        throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

}  // namespace velquor::pyapi
