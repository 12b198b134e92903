#include "buffer.hpp"

#include "format.hpp"
#include "globals.hpp"

namespace vesk {

int validate_float_array(PyObject* value, int ndim, HeldBuffer& buf) {
    if (value == Py_None) return 0;
    HeldBuffer taken;
    // No contiguity or writability asked for: any strided array qualifies.
    if (PyObject_GetBuffer(value, &taken.view(), PyBUF_STRIDES | PyBUF_FORMAT) < 0) return -1;
    const Py_buffer& view = taken.view();
    if (view.ndim != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     view.ndim);
        return -1;
    }
    std::string problem = format::check_float64(view.format ? view.format : "B");
    if (!problem.empty()) {
        PyErr_SetString(PyExc_ValueError, problem.c_str());
        return -1;
    }
    if (view.itemsize != 8) {
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     view.itemsize, view.itemsize > 1 ? "s" : "", "float64_t", Py_ssize_t{8}, "s");
        return -1;
    }
    buf.release();
    buf.swap(taken);
    return 0;
}

int FloatLocal::assign(Ref value) {
    if (!value) return -1;
    if (value.get() != Py_None && !PyObject_TypeCheck(value.get(), globals::ndarray_type)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value.get())->tp_name,
                     globals::ndarray_type->tp_name);
        return -1;
    }
    HeldBuffer fresh;
    if (validate_float_array(value.get(), ndim_, fresh) < 0) return -1;
    buf_.swap(fresh);  // the previous value's buffer goes with `fresh`
    value_ = std::move(value);
    return 0;
}

}  // namespace vesk
