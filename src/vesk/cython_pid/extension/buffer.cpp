#include "buffer.hpp"

#include <numpy/ndarraytypes.h>

#include <bit>

#include "format.hpp"
#include "globals.hpp"

namespace vesk {

namespace {

int wrong_dimensions(int expected, int got) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", expected, got);
    return -1;
}

// NumPy's own export of a native-order float64 array always describes one
// "d" element of 8 bytes with the array's dimensions, cannot fail but for
// memory, and holds nothing but a reference to the array. Such an array is
// checked from its header and "exported" by filling the view as the export
// would: the same outcome at a fraction of the cost, which matters for the
// many small arrays of a control step. PyBuffer_Release then only drops the
// reference, which is sound only while no release hook would run on a view
// the exporter never filled: hence the shortcut is off when ndarray has one
// (see use_native_float64_header) and for a subclass that adds one.
// 1 handled, 0 not such an array.
getbufferproc native_export = nullptr;  // ndarray's export, when the shortcut is sound

int take_native_float64(PyObject* value, int ndim, BufferExport& buf, int* status) {
    if (!native_export || ndim > BufferExport::room_dims) return 0;
    PyBufferProcs* procs = Py_TYPE(value)->tp_as_buffer;
    // e.g. a __buffer__ override, or a __release_buffer__ added by a subclass
    if (!procs || procs->bf_getbuffer != native_export || procs->bf_releasebuffer) return 0;
    auto* array = reinterpret_cast<PyArrayObject*>(value);
    const PyArray_Descr* descr = PyArray_DESCR(array);
    constexpr char native = std::endian::native == std::endian::little ? '<' : '>';
    if (descr->type_num != NPY_DOUBLE || (descr->byteorder != '=' && descr->byteorder != native)) return 0;
    if (PyArray_NDIM(array) != ndim) {
        *status = wrong_dimensions(ndim, PyArray_NDIM(array));
        return 1;
    }
    Py_buffer& view = buf.view();
    view.buf = PyArray_DATA(array);
    view.obj = Py_NewRef(value);
    Py_ssize_t len = 8;
    for (int i = 0; i < ndim; ++i) {
        buf.shape_room()[i] = PyArray_DIMS(array)[i];
        buf.strides_room()[i] = PyArray_STRIDES(array)[i];
        len *= PyArray_DIMS(array)[i];
    }
    view.len = len;
    view.itemsize = 8;
    view.readonly = !PyArray_ISWRITEABLE(array);
    view.ndim = ndim;
    view.format = const_cast<char*>("d");
    view.shape = buf.shape_room();
    view.strides = buf.strides_room();
    view.suboffsets = nullptr;
    view.internal = nullptr;
    *status = 0;
    return 1;
}

// The element and dimension checks of an exported buffer.
int check_view(const Py_buffer& view, int ndim) {
    if (view.ndim != ndim) return wrong_dimensions(ndim, view.ndim);
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
    return 0;
}

}  // namespace

void use_native_float64_header(PyTypeObject* ndarray) {
    PyBufferProcs* procs = ndarray->tp_as_buffer;
    native_export = procs && !procs->bf_releasebuffer ? procs->bf_getbuffer : nullptr;
}

int validate_float_array(PyObject* value, int ndim, BufferExport& buf) {
    buf.release();
    if (value == Py_None) return 0;
    if (int status; take_native_float64(value, ndim, buf, &status)) return status;
    // No contiguity or writability asked for: any strided array qualifies.
    if (PyObject_GetBuffer(value, &buf.view(), PyBUF_STRIDES | PyBUF_FORMAT) < 0) return -1;
    if (check_view(buf.view(), ndim) < 0) {
        buf.release();
        return -1;
    }
    return 0;
}

int FloatLocal::assign(Ref value) {
    if (!value) return -1;
    if (value.get() != Py_None) {
        if (!globals::ndarray_type) return globals::not_initialised();
        if (!PyObject_TypeCheck(value.get(), globals::ndarray_type)) {
            PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value.get())->tp_name,
                         globals::ndarray_type->tp_name);
            return -1;
        }
    }
    // The new value is validated into the spare guard; the current value
    // keeps its buffer until the new one has passed.
    if (validate_float_array(value.get(), ndim_, bufs_[current_ ^ 1]) < 0) return -1;
    bufs_[current_].release();
    current_ ^= 1;
    value_ = std::move(value);
    return 0;
}

}  // namespace vesk
