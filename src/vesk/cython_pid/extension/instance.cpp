#include "instance.hpp"

#include <chrono>
#include <thread>

namespace vesk {

namespace {

Exclusive* in_use = nullptr;  // the owners' guards; read and changed with the GIL held only

}  // namespace

Exclusive::Exclusive(PyObject* self) : self_(self), thread_(PyThread_get_thread_ident()) {
    for (;;) {
        const Exclusive* owner = in_use;
        while (owner && owner->self_ != self) owner = owner->next_;
        if (!owner) break;
        if (owner->thread_ == thread_) return;  // nested in this thread's own call
        // The owner unlinks itself when its call returns: a short sleep
        // without the GIL between looks suffices.
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        Py_END_ALLOW_THREADS
    }
    next_ = in_use;
    in_use = this;
    owner_ = true;
}

Exclusive::~Exclusive() {
    if (!owner_) return;
    Exclusive** link = &in_use;
    while (*link != this) link = &(*link)->next_;
    *link = next_;
}

}  // namespace vesk
