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
std::uint64_t tickets = 0;
std::atomic<int> listed{0};  // entries listed: 0 is the fast path

constexpr std::uint64_t no_ticket = UINT64_MAX;  // a call that has not waited

// Under the lock: another thread's kernel owns `self`, or (with
// `waiters_before`) another thread waits for it with an earlier ticket and
// claims its turn.
bool blocked(PyObject* self, unsigned long thread, std::uint64_t waiters_before) noexcept {
    for (Entry* e = head; e; e = e->next)
        if (e->self == self && e->thread != thread && (e->owner || (e->claims && e->ticket < waiters_before)))
            return true;
    return false;
}

bool blocked_now(PyObject* self, std::uint64_t waiters_before) noexcept {
    PyMutex_Lock(&lock);
    const bool found = blocked(self, PyThread_get_thread_ident(), waiters_before);
    PyMutex_Unlock(&lock);
    return found;
}

// Under the lock.
void link(Entry& entry) noexcept {
    entry.next = head;
    head = &entry;
    listed.fetch_add(1, std::memory_order_release);
}

// Under the lock; an entry not listed is left as it is.
void unlink_locked(Entry& entry) noexcept {
    Entry** at = &head;
    while (*at && *at != &entry) at = &(*at)->next;
    if (*at) {
        *at = entry.next;
        listed.fetch_sub(1, std::memory_order_release);
    }
    entry = Entry{};
}

void unlink(Entry& entry) noexcept {
    if (!entry.self) return;
    PyMutex_Lock(&lock);
    unlink_locked(entry);
    PyMutex_Unlock(&lock);
}

// Lists `waiter` for `self` with the next ticket, unless it is listed.
void list_waiter(Entry& waiter, PyObject* self, bool claims) noexcept {
    if (waiter.self) return;
    PyMutex_Lock(&lock);
    waiter = Entry{self, false, claims, PyThread_get_thread_ident(), tickets++, nullptr};
    link(waiter);
    PyMutex_Unlock(&lock);
}

// Sleeps while `self` is blocked for `waiter` (for owners only when it
// waits for none): a kernel ends on its own, within milliseconds, so short
// sleeps without the GIL, and the signal handlers between them. A waiter
// that will own claims its turn once it has waited a millisecond: until
// then a thread stepping back to back goes on (turns taken every step
// would cost each step a sleep), after it that thread waits.
// 0, or -1 with the exception a handler raised.
int sleep_while_blocked(PyObject* self, Entry* waiter) {
    const auto claim_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
    while (blocked_now(self, waiter ? waiter->ticket : 0)) {
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0) return -1;
        if (waiter && !waiter->claims && std::chrono::steady_clock::now() >= claim_at) {
            PyMutex_Lock(&lock);
            waiter->claims = true;
            PyMutex_Unlock(&lock);
        }
    }
    return 0;
}

// In a forked child: the listed threads were the parent's others, which
// the child does not have; their kernels never finish here. (The lock too
// may have been held by one of them.)
void forget_all() noexcept {
    lock = PyMutex{};
    head = nullptr;
    tickets = 0;
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

bool owned(PyObject* self) noexcept { return anyone_listed() && blocked_now(self, 0); }

int wait_idle_slow(PyObject* self) {
    if (!blocked_now(self, 0)) return 0;
    // Listed while it waits: a kernel of `self` that would start meanwhile
    // waits for it instead.
    Entry waiter;
    list_waiter(waiter, self, true);
    const int status = sleep_while_blocked(self, nullptr);
    unlink(waiter);
    return status;
}

bool KernelOwner::try_own(PyObject* self) noexcept {
    if (entry_.self == self) return true;
    const unsigned long thread = PyThread_get_thread_ident();
    PyMutex_Lock(&lock);
    const bool free = !blocked(self, thread, waiter_.self ? waiter_.ticket : no_ticket);
    if (free) {
        unlink_locked(waiter_);
        entry_ = Entry{self, true, false, thread, 0, nullptr};
        link(entry_);
    }
    PyMutex_Unlock(&lock);
    return free;
}

int KernelOwner::wait_to_own(PyObject* self) {
    list_waiter(waiter_, self, false);
    return sleep_while_blocked(self, &waiter_);
}

void KernelOwner::release() noexcept {
    unlink(entry_);
    unlink(waiter_);
}

}  // namespace vesk::concurrency
