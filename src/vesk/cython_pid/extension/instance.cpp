#include "instance.hpp"

#include <chrono>
#include <thread>

namespace vesk {

void Exclusive::claim_slow(bool own) {
    if (owner_) return;
    const unsigned long me = PyThread_get_thread_ident();
    for (;;) {
        const Exclusive* owner = in_use_;
        while (owner && owner->self_ != self_) owner = owner->next_;
        if (!owner) break;
        if (owner->thread_ == me) return;  // nested in this thread's own call, which owns it
        // The owner unlinks itself when its call returns: a short sleep
        // without the GIL between looks suffices.
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        Py_END_ALLOW_THREADS
    }
    if (!own) return;
    thread_ = me;
    next_ = in_use_;
    in_use_ = this;
    owner_ = true;
}

void Exclusive::unlink() noexcept {
    Exclusive** link = &in_use_;
    while (*link != this) link = &(*link)->next_;
    *link = next_;
}

}  // namespace vesk
