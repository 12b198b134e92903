#include "convert.hpp"

#include "globals.hpp"

namespace vesk {

int to_double(PyObject* value, double* out) {
    if (PyFloat_CheckExact(value)) {
        *out = PyFloat_AS_DOUBLE(value);
        return 0;
    }
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) return -1;
    *out = d;
    return 0;
}

int to_long(PyObject* value, long* out) {
    if (PyLong_Check(value)) {
        long v = PyLong_AsLong(value);
        if (v == -1 && PyErr_Occurred()) return -1;
        *out = v;
        return 0;
    }
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return -1;
    }
    Ref converted = Ref::steal(nb->nb_int(value));
    if (!converted) return -1;
    if (!PyLong_CheckExact(converted.get())) {
        if (!PyLong_Check(converted.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(converted.get())->tp_name);
            return -1;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance "
                             "of a strict subclass of int is deprecated, and may be removed in a future "
                             "version of Python.",
                             Py_TYPE(converted.get())->tp_name) < 0)
            return -1;
    }
    long v = PyLong_AsLong(converted.get());
    if (v == -1 && PyErr_Occurred()) return -1;
    *out = v;
    return 0;
}

int check_array_type(PyObject* value, const char* param) {
    if (value == Py_None) return 0;
    if (!globals::ndarray_type) return globals::not_initialised();
    if (PyObject_TypeCheck(value, globals::ndarray_type)) return 0;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 globals::ndarray_type->tp_name, Py_TYPE(value)->tp_name);
    return -1;
}

}  // namespace vesk
