#include "fused.hpp"

#include <iterator>

#include "extension/globals.hpp"

namespace vesk::fused {

bool native_float64(PyArray_Descr* descr) {
    return descr->type_num == NPY_DOUBLE && PyArray_ISNBO(descr->byteorder) && !PyDataType_METADATA(descr);
}

Ref new_array(PyArray_Descr* descr, int ndim, const npy_intp* shape) {
    Py_INCREF(descr);  // stolen by the call
    return Ref::made(PyArray_NewFromDescr(globals::ndarray_type, descr, ndim, shape, nullptr, nullptr, 0, nullptr));
}

PyObject* ImportedNumpy::function(PyObject* name) const noexcept {
    const auto& n = globals::names;
    return name == n.zeros_like ? zeros_like : name == n.roll ? roll : name == n.mean ? mean : name == n.clip ? clip : nullptr;
}

bool numpy_function_is_own(PyObject* name) {
    PyObject* own_function = imported.function(name);
    if (!own_function || !globals::module_dict) return false;
    // The namespace may hold keys of any type, whose __eq__ runs in the
    // look-up: the results are held, and the caller reads nothing before.
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(globals::module_dict, globals::names.np, &found) < 0) {
        PyErr_Clear();  // the generic law looks again and reports it
        return false;
    }
    const Ref np = Ref::steal(found);
    if (np.get() != imported.module || !PyModule_CheckExact(np.get())) return false;
    // A module's own namespace: str keys, but a subclass's __eq__ may run too.
    if (PyDict_GetItemRef(PyModule_GetDict(np.get()), name, &found) < 0) {
        PyErr_Clear();
        return false;
    }
    const Ref function = Ref::steal(found);
    return function.get() == own_function;
}

namespace {

// NumPy's own function: the numpy module's attribute, from NumPy itself.
int remember_function(PyObject* numpy, PyObject* name, PyObject*& slot) {
    Ref function = Ref::steal(PyObject_GetAttr(numpy, name));
    if (!function) {
        PyErr_Clear();  // no fused step will need it
        return 0;
    }
    Ref module = Ref::steal(PyObject_GetAttr(function.get(), globals::names.module));
    if (!module) {
        PyErr_Clear();
        return 0;
    }
    int is_numpy = PyUnicode_Check(module.get()) ? PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 : 0;
    if (is_numpy) Py_XSETREF(slot, function.release());
    return 0;
}

}  // namespace

int remember_numpy(PyObject* ns) {
    PyObject* numpy = nullptr;
    if (PyDict_GetItemRef(ns, globals::names.np, &numpy) < 0) return -1;
    Ref owned = Ref::steal(numpy);
    if (!numpy || !PyModule_CheckExact(numpy)) return 0;  // no fused step will ever count it as NumPy
    Py_XSETREF(imported.module, owned.release());
    if (!imported.float64 && !(imported.float64 = PyArray_DescrFromType(NPY_DOUBLE))) return -1;
    for (auto [name, slot] : {std::pair{globals::names.zeros_like, &imported.zeros_like}, {globals::names.roll, &imported.roll},
                              {globals::names.mean, &imported.mean}, {globals::names.clip, &imported.clip}})
        if (remember_function(imported.module, name, *slot) < 0) return -1;
    return 0;
}

Scratch::Scratch(std::size_t count)
    : data_(count <= std::size(local_) ? local_
            : fault::allocation_fails()   ? nullptr
                                          : static_cast<double*>(PyMem_RawMalloc(count * sizeof(double)))) {}

Scratch::~Scratch() {
    if (data_ != local_) PyMem_RawFree(data_);
}

}  // namespace vesk::fused
