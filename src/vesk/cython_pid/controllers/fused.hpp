// What the fused step of a law needs from the interpreter and NumPy: the
// test of the plain case, new and reused result arrays, scratch memory, and
// whether `np` still leads to NumPy's own functions.
//
// The plain case is the one in which a single native pass is known to give
// exactly what the NumPy operations of the law give: every array an exact
// ndarray of native float64 without metadata, aligned and C-contiguous, all
// of one shape. Anything else goes to the generic law.
#pragma once

#include <cstddef>

#include "extension/numpy_api.hpp"
#include "kernels.hpp"

namespace vesk::fused {

// Above this many elements the kernel runs with the GIL released, as
// NumPy's own loops do (every operand is held meanwhile).
inline constexpr std::size_t release_gil_from = 4096;

// A plain operand: the borrowed array, its data and its element count.
struct Plain {
    PyObject* object = nullptr;
    double* data = nullptr;
    std::size_t size = 0;
};

// `object` is an exact, aligned, C-contiguous ndarray of native float64
// without metadata, of `ndim` dimensions and, when `shape` is given, of
// that shape.
bool plain(PyObject* object, int ndim, const npy_intp* shape, Plain& out);

// The arrays share memory.
bool overlap(const Plain& a, const Plain& b);

bool writeable(const Plain& a);

// `a` can serve as this step's new array of `descr`: nothing but its field
// holds it (no other reference, no weak reference, no view, owns its data)
// and its strides are those of a new C-ordered array.
bool reusable(const Plain& a, PyArray_Descr* descr);

// A new C-ordered array, as NumPy makes one for a result.
Ref new_array(PyArray_Descr* descr, int ndim, const npy_intp* shape);

// `np`, looked up now as the laws look it up, is the NumPy module seen at
// import and its attribute `name` is `own`, NumPy's own function.
bool numpy_function_is_own(PyObject* name, PyObject* own);

// NumPy's functions as they were at import (null: not NumPy's own then).
struct OwnNumpy {
    PyObject* module;
    PyObject *zeros_like, *roll, *mean, *clip;
};
inline OwnNumpy own{};

// Records `np` of the module namespace `ns` and its functions. 0, or -1
// with the error set.
int remember_numpy(PyObject* ns);

// Room for a kernel's scratch values: on the stack when small.
class Scratch {
public:
    explicit Scratch(std::size_t count);
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch();
    double* get() const noexcept { return data_; }

private:
    double local_[768];
    double* data_;
};

// Runs `kernel` (which returns whether a NaN reached a result) with the
// floating-point status cleared, the GIL released for large n; true when
// its results are to be kept: no NaN and no flag raised.
template <class Kernel>
bool run_clean(std::size_t n, Kernel&& kernel) {
    bool nan;
    if (n >= release_gil_from) {
        Py_BEGIN_ALLOW_THREADS
        kernels::FpStatus::clear();
        nan = kernel();
        nan |= kernels::FpStatus::raised();
        Py_END_ALLOW_THREADS
    } else {
        kernels::FpStatus::clear();
        nan = kernel();
        nan |= kernels::FpStatus::raised();
    }
    return !nan;
}

}  // namespace vesk::fused
