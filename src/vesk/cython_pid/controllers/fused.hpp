// What the fused step of a law needs from the interpreter and NumPy: the
// test of the plain case, new and reused result arrays, scratch memory, and
// whether `np` still leads to NumPy's own functions.
//
// The plain case is the one in which a single native pass is known to give
// exactly what the NumPy operations of the law give: every array an exact
// ndarray of native float64 without metadata and C-contiguous (at any
// address), all of one shape. Anything else goes to the generic law.
//
// What a step touches it holds: the controller, its arguments (the caller
// only lends them) and every field it reads. Python code may run in a
// namespace look-up (a key with an __eq__ of its own), in a deallocation and,
// while the GIL is released, in any other thread; it may replace the fields
// meanwhile. A step therefore looks its names up before it reads a field,
// reads each field once into a reference of its own, and stores its results
// only if every field it read is still the object it read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "extension/globals.hpp"
#include "extension/numpy_api.hpp"
#include "kernels.hpp"

namespace vesk::fused {

// Above this many elements the kernel runs with the GIL released, as
// NumPy's own loops do (every operand is held meanwhile).
inline constexpr std::size_t release_gil_from = 4096;

// A plain operand: the array (held by the step), its data and its element count.
struct Plain {
    PyObject* object = nullptr;
    kernels::real* data = nullptr;
    std::size_t size = 0;
};

// NumPy's functions and float64 dtype as they were at import (a null
// function: not NumPy's own then).
struct OwnNumpy {
    PyObject* module;
    PyObject *zeros_like, *roll, *mean, *clip;
    PyArray_Descr* float64;
};
inline OwnNumpy own{};

// A float64 dtype other than NumPy's shared one (a restored pickle's, say):
// native byte order and no metadata, which NumPy may carry into results.
bool plain_float64(PyArray_Descr* descr);

// `object` is an exact, C-contiguous ndarray of native float64 without
// metadata, of `ndim` dimensions and, when `shape` is given, of that shape.
// Its data may lie at any address: the kernels load and store unaligned.
// Inline: a step asks this of up to eight arrays.
inline bool plain(PyObject* object, int ndim, const npy_intp* shape, Plain& out) {
    if (Py_TYPE(object) != globals::ndarray_type) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != ndim || !(PyArray_FLAGS(array) & NPY_ARRAY_C_CONTIGUOUS)) return false;
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (descr != own.float64 && !plain_float64(descr)) return false;
    npy_intp size = 1;
    for (int i = 0; i < ndim; ++i) {
        if (shape && PyArray_DIMS(array)[i] != shape[i]) return false;
        size *= PyArray_DIMS(array)[i];
    }
    out = {object, static_cast<kernels::real*>(PyArray_DATA(array)), static_cast<std::size_t>(size)};
    return true;
}

// The arrays share memory. C-contiguous: each occupies `size` doubles from
// its data pointer on; the pointers of unrelated arrays compare as addresses.
inline bool overlap(const Plain& a, const Plain& b) {
    const auto a0 = reinterpret_cast<std::uintptr_t>(a.data), b0 = reinterpret_cast<std::uintptr_t>(b.data);
    return a0 < b0 + b.size * sizeof(double) && b0 < a0 + a.size * sizeof(double);
}

inline bool writeable(const Plain& a) {
    auto* array = reinterpret_cast<PyArrayObject*>(a.object);
    return (PyArray_FLAGS(array) & (NPY_ARRAY_WRITEABLE | NPY_ARRAY_WRITEBACKIFCOPY)) == NPY_ARRAY_WRITEABLE;
}

// `a` can serve as this step's new array of `descr`: nothing but its field
// and the step's own reference holds it (no other reference, no weak
// reference, no view, owns its data, aligned as NumPy allocates) and its
// strides are those of a new C-ordered array.
inline bool reusable(const Plain& a, PyArray_Descr* descr) {
    auto* array = reinterpret_cast<PyArrayObject*>(a.object);
    constexpr int needed = NPY_ARRAY_OWNDATA | NPY_ARRAY_WRITEABLE | NPY_ARRAY_ALIGNED;
    if (Py_REFCNT(a.object) != 2 || PyArray_BASE(array) || (PyArray_FLAGS(array) & needed) != needed ||
        (PyArray_FLAGS(array) & NPY_ARRAY_WRITEBACKIFCOPY) || PyArray_DESCR(array) != descr)
        return false;
    const Py_ssize_t weaklist = Py_TYPE(a.object)->tp_weaklistoffset;
    if (weaklist <= 0 || *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(a.object) + weaklist)) return false;
    npy_intp stride = sizeof(double);
    for (int i = PyArray_NDIM(array) - 1; i >= 0; --i) {
        if (PyArray_STRIDES(array)[i] != stride) return false;
        stride *= PyArray_DIMS(array)[i];
    }
    return true;
}

// A new C-ordered array, as NumPy makes one for a result.
Ref new_array(PyArray_Descr* descr, int ndim, const npy_intp* shape);

// `np`, looked up now as the laws look it up, is the NumPy module seen at
// import and its attribute `name` is `own`, NumPy's own function.
bool numpy_function_is_own(PyObject* name, PyObject* own);

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

// The fields of a controller as a step read them, each held by the step:
// whatever runs meanwhile may replace a field but frees nothing the step uses.
template <int N>
class Snapshot {
public:
    explicit Snapshot(PyObject* const* fields) noexcept {
        for (int i = 0; i < N; ++i) refs_[i] = Ref::new_ref(fields[i]);
    }
    PyObject* operator[](int i) const noexcept { return refs_[i].get(); }
    // Every field is still the object the step read: its results may be stored.
    bool current(PyObject* const* fields) const noexcept {
        for (int i = 0; i < N; ++i)
            if (fields[i] != refs_[i].get()) return false;
        return true;
    }

private:
    Ref refs_[N];
};

// Runs `kernel` (which returns whether a NaN reached a result) with the
// floating-point status cleared, and then, if no NaN came out and no flag
// was raised, `commit`: both with the GIL released for large n, as NumPy's
// own loops run (`commit` only copies into arrays the step writes in place,
// as NumPy's in-place additions do). True when the step was committed.
template <class Kernel, class Commit>
bool run_clean(std::size_t n, Kernel&& kernel, Commit&& commit) {
    auto run = [&] {
        kernels::FpStatus::clear();
        bool nan = kernel();
        if (nan || kernels::FpStatus::raised()) return false;
        commit();
        return true;
    };
    if (n < release_gil_from) return run();
    bool committed;
    Py_BEGIN_ALLOW_THREADS
    committed = run();
    Py_END_ALLOW_THREADS
    return committed;
}

}  // namespace vesk::fused
