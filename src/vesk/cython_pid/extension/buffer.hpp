// Validation of float-array values: None, or a buffer of 8-byte reals with
// the declared number of dimensions (any strides).
#pragma once

#include "ref.hpp"

namespace vesk {

// Lets validation read a native float64 ndarray's header instead of
// requesting its buffer, when that gives the same outcome: only while
// `ndarray` has no buffer-release hook. Called once ndarray is resolved.
void use_native_float64_header(PyTypeObject* ndarray);

// Validates `value` and, on success, leaves its buffer exported into `buf`
// until the guard goes (whatever `buf` had before is released first). None
// passes without a buffer. 0, or -1 with the error set and nothing exported.
int validate_float_array(PyObject* value, int ndim, BufferExport& buf);

// A float-array working value of an operation: every value stored passes the
// ndarray type test and the buffer validation, and its buffer stays exported until
// the next store or the end of the operation.
class FloatLocal {
public:
    explicit FloatLocal(int ndim) : ndim_(ndim) {}

    // Stores a new reference. A null `value` (the producing call failed) is
    // passed through as the failure it is. On a rejected value the local
    // keeps its previous value and buffer.
    int assign(Ref value);
    PyObject* get() const noexcept { return value_.get(); }

private:
    Ref value_ = Ref::new_ref(Py_None);
    BufferExport bufs_[2];  // the current value's and a spare, used in turn
    int current_ = 0;
    int ndim_;
};

}  // namespace vesk
