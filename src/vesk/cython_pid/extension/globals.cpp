#include "globals.hpp"

namespace vesk::globals {

namespace {

int intern(PyObject*& slot, const char* text) {
    if (slot) return 0;
    slot = PyUnicode_InternFromString(text);
    return slot ? 0 : -1;
}

int tuple_of(PyObject*& slot, std::initializer_list<PyObject*> items) {
    if (slot) return 0;
    slot = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!slot) return -1;
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(slot, i++, Py_NewRef(item));
    return 0;
}

int long_of(PyObject*& slot, long value) {
    if (slot) return 0;
    slot = PyLong_FromLong(value);
    return slot ? 0 : -1;
}

}  // namespace

int create_constants() {
    Names& n = names;
    const struct {
        PyObject** slot;
        const char* text;
    } table[] = {
        {&n.np, "np"}, {&n.numpy, "numpy"}, {&n.zeros_like, "zeros_like"},
        {&n.float64, "float64"}, {&n.zeros, "zeros"}, {&n.roll, "roll"},
        {&n.mean, "mean"}, {&n.clip, "clip"}, {&n.copy, "copy"},
        {&n.dtype, "dtype"}, {&n.shift, "shift"}, {&n.axis, "axis"},
        {&n.update, "update"}, {&n.dict, "__dict__"}, {&n.new_, "__new__"},
        {&n.pickle, "pickle"}, {&n.PickleError, "PickleError"}, {&n.reduce, "__reduce__"},
        {&n.reduce_ex, "__reduce_ex__"}, {&n.getstate, "__getstate__"},
        {&n.setstate, "__setstate__"}, {&n.reduce_cython, "__reduce_cython__"},
        {&n.setstate_cython, "__setstate_cython__"}, {&n.name, "__name__"},
        {&n.spec, "__spec__"}, {&n.initializing, "_initializing"}, {&n.test, "__test__"}, {&n.module, "__module__"},
    };
    for (const auto& entry : table)
        if (intern(*entry.slot, entry.text) < 0) return -1;
    if (long_of(int0, 0) < 0 || long_of(int1, 1) < 0 || long_of(int10, 10) < 0) return -1;
    if (!empty_tuple && !(empty_tuple = PyTuple_New(0))) return -1;
    if (tuple_of(kw_dtype, {n.dtype}) < 0 || tuple_of(kw_shift_axis, {n.shift, n.axis}) < 0 ||
        tuple_of(kw_axis, {n.axis}) < 0)
        return -1;
    return 0;
}

Ref lookup(PyObject* name) {
    PyObject* found = nullptr;
    if (module_dict) {
        if (PyDict_GetItemRef(module_dict, name, &found) < 0) return Ref();
        if (found) return Ref::steal(found);
    }
    if (builtins) {
        if (PyObject_GetOptionalAttr(builtins, name, &found) < 0) return Ref();
        if (found) return Ref::steal(found);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

}  // namespace vesk::globals
