#include "instance.hpp"

#include <chrono>
#include <thread>

namespace vesk {

Exclusive::Exclusive(PyObject* self) : header_(static_cast<Header*>(self)) {
    const unsigned long me = PyThread_get_thread_ident();
    if (header_->busy_thread == me) return;  // nested in this thread's own step
    // The flag is read and written with the GIL held only; the owner clears
    // it when its step returns, so a short sleep between looks suffices.
    while (header_->busy_thread != 0) {
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        Py_END_ALLOW_THREADS
    }
    header_->busy_thread = me;
    owner_ = true;
}

}  // namespace vesk
