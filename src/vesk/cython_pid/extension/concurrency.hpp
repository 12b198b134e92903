// How calls of this module share controllers between threads and processes.
//
// One rule: a call never waits for Python code. Steps, resets and pickles of
// one controller from several threads interleave as the same law written
// with NumPy would: each reads a field when it uses it and replaces a field
// when the law does, so the worst a racing caller gets is a step whose
// reads mix two steps, never a crash. The one native addition is the kernel
// of a large fused step, which runs without the GIL and updates the
// integral (and the adaptive kp) in place: while it runs it owns the
// controller (KernelOwner), and every other call on that controller waits
// for it first (wait_idle). A kernel always finishes on its own, and the
// wait runs signal handlers, so an exception from one (KeyboardInterrupt)
// ends the wait and the call.
//
// Owners, and the calls that wait for them, are listed process-wide; the
// list is empty but while a kernel runs, so a call that finds it empty pays
// one atomic load. A waiting call goes before the next kernel of the same
// controller. After fork() the child empties the list: the threads listed
// are not there.
//
// Without a GIL, every read and store of a field holds the controller's own
// lock (instance.hpp), and a step that reuses a replaced array holds it from
// that decision to its store (InstanceLock, instance_lock.hpp).
//
// Each of our calls also counts as one Python call against the
// interpreter's recursion limit (RecursionGuard), as the law's own Python
// method would: re-entry from a callback ends in RecursionError, not in a
// C stack overflow.
#pragma once

#include <cstdint>

#include "ref.hpp"

namespace vesk::concurrency {

// Installs the at-fork handler (once per process). 0, or -1 with an error set.
int install_fork_handler();

namespace detail {
// A thread's entry in the process-wide list: an owner of a controller's
// kernel, or a call waiting for one.
// Waiters hold a ticket, taken when they start waiting: of the waiters
// that claim their turn, the earliest goes first. A thread never waits for
// its own entries (a signal handler run while it waits may call again).
struct Entry {
    PyObject* self = nullptr;
    bool owner = false;
    bool claims = false;
    unsigned long thread = 0;
    std::uint64_t ticket = 0;
    Entry* next = nullptr;
};
bool anyone_listed() noexcept;
}  // namespace detail

// The controller is owned by another thread's kernel.
bool owned(PyObject* self) noexcept;

// Waits while another thread's kernel owns `self`. While it waits it is
// listed, and no kernel of `self` starts before it is done (a thread that
// steps back to back cannot starve it). Called with the GIL (or an
// attached thread state); releases it while it waits. 0, or -1 with the
// exception a signal handler raised.
int wait_idle_slow(PyObject* self);
inline int wait_idle(PyObject* self) { return detail::anyone_listed() ? wait_idle_slow(self) : 0; }

// Owns a controller for one kernel that runs without the GIL.
class KernelOwner {
public:
    KernelOwner() noexcept = default;
    KernelOwner(const KernelOwner&) = delete;
    KernelOwner& operator=(const KernelOwner&) = delete;
    ~KernelOwner() { release(); }

    // Owns `self` unless another thread's kernel owns it or another thread
    // waits for it from before this one's wait (if any): whether it now
    // owns it.
    bool try_own(PyObject* self) noexcept;
    bool owns() const noexcept { return entry_.self != nullptr; }
    // Waits, listed with a ticket kept across calls, until `self` has no
    // owner and no earlier waiter that claims its turn: then try_own()
    // succeeds unless another thread owned it in between. After a
    // millisecond it claims its turn too. 0, or -1 as wait_idle().
    int wait_to_own(PyObject* self);
    void release() noexcept;

private:
    detail::Entry entry_;
    detail::Entry waiter_;
};

// One of our calls, counted against the recursion limit while it runs.
class RecursionGuard {
public:
    RecursionGuard() noexcept = default;
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (state_) ++state_->py_recursion_remaining;
    }
    // 0, or -1 with RecursionError set.
    int enter() noexcept {
        PyThreadState* state = PyThreadState_Get();
        // As the interpreter counts a Python call: while it handles a
        // RecursionError (headroom), calls may go 50 deeper.
        if (state->py_recursion_remaining <= (state->recursion_headroom ? -50 : 0)) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
            return -1;
        }
        --state->py_recursion_remaining;
        state_ = state;
        return 0;
    }

private:
    PyThreadState* state_ = nullptr;
};

}  // namespace vesk::concurrency
