// The per-controller lock that a scope holds, and whether there is a GIL
// to serialise anything at all. How the module shares controllers between
// threads is told in concurrency.hpp; single reads and stores of a field
// hold the same lock by themselves (instance.hpp).
#pragma once

#include "ref.hpp"

namespace vesk {

#if defined(Py_GIL_DISABLED)
inline constexpr bool free_threaded = true;
#else
inline constexpr bool free_threaded = false;
#endif

// The instance's lock held for a scope, when asked to and only without a
// GIL (with the GIL there is nothing to hold). A fused step holds it from
// deciding to write a field's array in place to storing its results: no
// other thread can take that array from the controller meanwhile.
class InstanceLock {
public:
    InstanceLock(PyObject* self, bool hold) noexcept {
#if defined(Py_GIL_DISABLED)
        if (hold) {
            PyCriticalSection_Begin(&section_, self);
            held_ = true;
        }
#else
        (void)self, (void)hold;
#endif
    }
    ~InstanceLock() { release(); }
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    void release() noexcept {
#if defined(Py_GIL_DISABLED)
        if (held_) PyCriticalSection_End(&section_);
#endif
        held_ = false;
    }
    bool held() const noexcept { return held_; }

private:
#if defined(Py_GIL_DISABLED)
    PyCriticalSection section_;
#endif
    bool held_ = false;
};

}  // namespace vesk
