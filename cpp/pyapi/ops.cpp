/// Python operators returning objects, protocol checks and class construction on behalf of the C++ modules.
#include "pyapi/pyapi.hpp"

namespace velquor::pyapi {

namespace {
nb::object checked(PyObject *result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}
}  // namespace

nb::object richcompare(nb::handle a, nb::handle b, Cmp op) {
    return checked(PyObject_RichCompare(a.ptr(), b.ptr(), static_cast<int>(op)));
}

bool compare(nb::handle a, nb::handle b, Cmp op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), static_cast<int>(op));
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object matmul(nb::handle a, nb::handle b) { return checked(PyNumber_MatrixMultiply(a.ptr(), b.ptr())); }
nb::object add(nb::handle a, nb::handle b) { return checked(PyNumber_Add(a.ptr(), b.ptr())); }
nb::object sub(nb::handle a, nb::handle b) { return checked(PyNumber_Subtract(a.ptr(), b.ptr())); }
nb::object mul(nb::handle a, nb::handle b) { return checked(PyNumber_Multiply(a.ptr(), b.ptr())); }
nb::object truediv(nb::handle a, nb::handle b) { return checked(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
nb::object neg(nb::handle a) { return checked(PyNumber_Negative(a.ptr())); }
nb::object power(nb::handle a, nb::handle b) { return checked(PyNumber_Power(a.ptr(), b.ptr(), Py_None)); }

bool isinstance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

nb::object getattr_or_none(nb::handle obj, const char *name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *result = nullptr;
    if (PyObject_GetOptionalAttrString(obj.ptr(), name, &result) < 0) throw nb::python_error();
    return nb::steal(result);
#else
    PyObject *result = PyObject_GetAttrString(obj.ptr(), name);
    if (!result) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(result);
#endif
}

nb::object getitem(nb::handle obj, nb::handle key) { return checked(PyObject_GetItem(obj.ptr(), key.ptr())); }

void setitem(nb::handle obj, nb::handle key, nb::handle value) {
    if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
}

nb::object to_float(nb::handle obj) { return checked(PyNumber_Float(obj.ptr())); }

nb::object sorted(nb::handle iterable) {
    nb::object result = checked(PySequence_List(iterable.ptr()));
    if (PyList_Sort(result.ptr()) < 0) throw nb::python_error();
    return result;
}

nb::object sys_attr(const char *name) {
    PyObject *value = PySys_GetObject(name);  // borrowed
    if (!value) {
        PyErr_Format(PyExc_RuntimeError, "lost sys.%s", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

nb::object make_class(nb::handle metaclass, const char *name, nb::handle bases, const char *module_name,
                      const char *doc, bool has_doc) {
    nb::dict ns;
    ns["__module__"] = nb::str(module_name);
    ns["__qualname__"] = nb::str(name);
    if (has_doc)
        ns["__doc__"] = nb::str(doc);
    else
        ns["__doc__"] = nb::none();
    return metaclass(nb::str(name), bases, ns);
}

}  // namespace velquor::pyapi
