#include "binding.hpp"

#include "globals.hpp"

namespace vesk {

namespace {

int intern_names(ParamList& p) {
    if (p.count == 0 || p.interned[0]) return 0;
    for (int i = 0; i < p.count; ++i) {
        if (!p.interned[i] && !(p.interned[i] = PyUnicode_InternFromString(p.names[i]))) return -1;
    }
    return 0;
}

// The count error, the one message every arity failure uses. `given` is the
// number of positional arguments, or the position of the first missing one.
int count_error(const ParamList& p, Py_ssize_t given) {
    const char* more_or_less;
    Py_ssize_t bound;
    if (p.required == p.count) {
        more_or_less = "exactly";
        bound = p.count;
    } else if (given < p.required) {
        more_or_less = "at least";
        bound = p.required;
    } else {
        more_or_less = "at most";
        bound = p.count;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 p.function, more_or_less, bound, bound == 1 ? "" : "s", given);
    return -1;
}

int multiple_values(const ParamList& p, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", p.function, key);
    return -1;
}

int unexpected_keyword(const ParamList& p, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.function, key);
    return -1;
}

// Index of the parameter named `key`, or -1 when none is; -2 on error.
// Names compare as text, not by identity.
int find(const ParamList& p, PyObject* key) {
    for (int i = 0; i < p.count; ++i)
        if (p.interned[i] == key) return i;
    for (int i = 0; i < p.count; ++i) {
        int eq = PyObject_RichCompareBool(p.interned[i], key, Py_EQ);
        if (eq < 0) return -2;
        if (eq) return i;
    }
    return -1;
}

// After keywords: the first required parameter still unbound is reported
// with its position as the number given.
int check_required(const ParamList& p, Py_ssize_t nargs, PyObject** out) {
    for (Py_ssize_t i = nargs; i < p.required; ++i)
        if (!out[i]) return count_error(p, i);
    return 0;
}

}  // namespace

int bind(ParamList& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < p.required || nargs > p.count) return count_error(p, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        for (Py_ssize_t i = nargs; i < p.count; ++i) out[i] = nullptr;
        return 0;
    }
    if (nargs > p.count) return count_error(p, nargs);
    if (intern_names(p) < 0) return -1;
    for (Py_ssize_t i = 0; i < p.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int i = find(p, key);
        if (i == -2) return -1;
        if (i < 0) return unexpected_keyword(p, key);
        if (i < nargs) return multiple_values(p, key);
        out[i] = args[nargs + k];
    }
    return check_required(p, nargs, out);
}

int bind(ParamList& p, PyObject* args, PyObject* kwds, Ref* out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
    PyObject* const* items = reinterpret_cast<PyTupleObject*>(args)->ob_item;
    if (nkw == 0) {
        PyObject* bound[max_params];
        if (bind(p, items, nargs, nullptr, bound) < 0) return -1;
        for (int i = 0; i < p.count; ++i) out[i] = Ref::new_ref(bound[i]);
        return 0;
    }
    if (nargs > p.count) return count_error(p, nargs);
    if (intern_names(p) < 0) return -1;
    {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return -1;
            }
        }
    }
    for (Py_ssize_t i = 0; i < p.count; ++i) out[i] = i < nargs ? Ref::new_ref(items[i]) : Ref();
    // Parameters after the positional ones, in parameter order, until every
    // dict entry is used.
    Py_ssize_t taken = 0;
    for (Py_ssize_t i = nargs; i < p.count && taken < nkw; ++i) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(kwds, p.interned[i], &value) < 0) return -1;
        if (value) {
            out[i] = Ref::steal(value);
            ++taken;
        }
    }
    if (taken < nkw) {
        // Some key names no parameter after the positional ones: report the
        // first such key in the dict's own order.
        Py_ssize_t pos = 0;
        PyObject *borrowed_key, *value;
        while (PyDict_Next(kwds, &pos, &borrowed_key, &value)) {
            Ref key = Ref::new_ref(borrowed_key);  // comparing may run code that drops it
            int i = find(p, key.get());
            if (i == -2) return -1;
            if (i >= nargs) continue;
            return i >= 0 ? multiple_values(p, key.get()) : unexpected_keyword(p, key.get());
        }
    }
    PyObject* bound[max_params];
    for (int i = 0; i < p.count; ++i) bound[i] = out[i].get();
    return check_required(p, nargs, bound);
}

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
