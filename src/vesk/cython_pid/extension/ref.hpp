// Owned references and buffer exports.
//
// Every PyObject* this module owns lives in a Ref; a borrowed pointer is a
// plain PyObject* that never outlives its owner. Error paths need no manual
// Py_DECREF: leaving the scope releases what was taken.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

#include "fault_injection.hpp"

namespace vesk {

// Replaces the `Py_XDECREF(x); return NULL;` bookkeeping of C code.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = ptr_;
        ptr_ = other.ptr_;
        other.ptr_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (the result of a C-API call that returns one).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes over a new reference that one of this module's own allocations
    // returned (a new array, float, tuple, ...): where failures are injected,
    // it may drop it and fail with MemoryError instead.
    static Ref made(PyObject* p) noexcept {
        if (p && fault::allocation_fails()) {
            Py_DECREF(p);
            PyErr_NoMemory();
            return Ref();
        }
        return Ref(p);
    }
    // Takes a new reference of its own to an object it is lent (Py_XNewRef).
    static Ref new_ref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller (the interpreter, on success).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// Stores a new reference in an owned slot, dropping the old one only after the
// new one is in place (Py_SETREF order): code run by the drop sees a
// consistent object.
inline void set_slot(PyObject*& slot, Ref value) noexcept {
    PyObject* old = slot;
    slot = value.release();
    Py_XDECREF(old);
}

// A Py_buffer taken from an exporter and released exactly once, on scope exit
// or by an explicit release(). `obj` is null while nothing is exported.
class BufferExport {
public:
    BufferExport() noexcept { view_.obj = nullptr; }
    BufferExport(const BufferExport&) = delete;
    BufferExport& operator=(const BufferExport&) = delete;
    ~BufferExport() { release(); }

    bool exported() const noexcept { return view_.obj != nullptr; }
    Py_buffer& view() noexcept { return view_; }
    void release() noexcept {
        if (view_.obj) PyBuffer_Release(&view_);  // also clears view_.obj
    }

    // Room for the shape and strides of a view filled in by hand (up to two
    // dimensions), so that they do not point into an object that may change
    // while the view is exported. A guard never moves, so neither do they.
    static constexpr int room_dims = 2;
    Py_ssize_t* shape_room() noexcept { return dims_; }
    Py_ssize_t* strides_room() noexcept { return dims_ + room_dims; }

private:
    Py_buffer view_;
    Py_ssize_t dims_[2 * room_dims] = {};
};

}  // namespace vesk
