#include "concurrency.hpp"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace vesk::concurrency {

namespace detail {

namespace {

// The list, behind a lock of its own: with the GIL it is changed by threads
// that have released it, and without a GIL by any thread.
PyMutex lock{};
Entry* head = nullptr;
std::atomic<int> listed{0};  // entries listed: 0 is the fast path

bool find(PyObject* self, bool owner) noexcept {
    for (Entry* e = head; e; e = e->next)
        if (e->self == self && e->owner == owner) return true;
    return false;
}

void link(Entry& entry) noexcept {
    entry.next = head;
    head = &entry;
    listed.fetch_add(1, std::memory_order_release);
}

void unlink(Entry& entry) noexcept {
    PyMutex_Lock(&lock);
    Entry** at = &head;
    while (*at && *at != &entry) at = &(*at)->next;
    if (*at) {
        *at = entry.next;
        listed.fetch_sub(1, std::memory_order_release);
    }
    PyMutex_Unlock(&lock);
    entry = Entry{};
}

// Whether an owner of `self` is listed, and (`or_waiter`) a waiter for it.
bool busy(PyObject* self, bool or_waiter) noexcept {
    PyMutex_Lock(&lock);
    const bool found = find(self, true) || (or_waiter && find(self, false));
    PyMutex_Unlock(&lock);
    return found;
}

// In a forked child: the listed threads were the parent's others, which
// the child does not have; their kernels never finish here. (The lock too
// may have been held by one of them.)
void forget_all() noexcept {
    lock = PyMutex{};
    head = nullptr;
    listed.store(0, std::memory_order_relaxed);
}

}  // namespace

bool anyone_listed() noexcept { return listed.load(std::memory_order_acquire) != 0; }

}  // namespace detail

using namespace detail;

int install_fork_handler() {
    static bool installed = false;
    if (installed) return 0;
    if (int error = pthread_atfork(nullptr, nullptr, [] { forget_all(); })) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    installed = true;
    return 0;
}

bool owned(PyObject* self) noexcept { return anyone_listed() && busy(self, false); }

int wait_idle_slow(PyObject* self, bool to_own) {
    if (!busy(self, to_own)) return 0;
    Entry waiter{self, false, nullptr};
    if (!to_own) {  // listed while it waits: the next kernel of `self` waits for it
        PyMutex_Lock(&lock);
        link(waiter);
        PyMutex_Unlock(&lock);
    }
    int status = 0;
    do {
        // A kernel ends on its own, within milliseconds: short sleeps without
        // the GIL, and the signal handlers between them.
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        Py_END_ALLOW_THREADS
        if ((status = PyErr_CheckSignals()) < 0) break;
    } while (busy(self, to_own));
    if (!to_own) unlink(waiter);
    return status;
}

bool KernelOwner::try_own(PyObject* self) noexcept {
    if (entry_.self == self) return true;
    PyMutex_Lock(&lock);
    const bool free = !find(self, true) && !find(self, false);
    if (free) {
        entry_ = Entry{self, true, nullptr};
        link(entry_);
    }
    PyMutex_Unlock(&lock);
    return free;
}

void KernelOwner::release() noexcept {
    if (entry_.self) unlink(entry_);
}

}  // namespace vesk::concurrency
