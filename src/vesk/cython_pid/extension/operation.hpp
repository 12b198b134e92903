// The scope of one operation: the argument buffers it holds, and the
// traceback entry it adds when it fails.
#pragma once

#include <iterator>

#include "binding.hpp"
#include "buffer.hpp"
#include "traceback.hpp"

namespace vesk {

class Operation {
public:
    explicit Operation(const char* name) noexcept : name_(name) {}

    // `return op.fail();` adds the operation's traceback entry to the error
    // being raised.
    std::nullptr_t fail(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) const {
        add_traceback(name_, file, line);
        return nullptr;
    }
    int fail_status(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) const {
        add_traceback(name_, file, line);
        return -1;
    }

    // Validates a float-array argument and holds its buffer until the
    // operation returns. 0, or -1 with the error set.
    int hold(PyObject* value, int ndim) {
        if (held_count_ == std::size(held_)) {
            PyErr_SetString(PyExc_SystemError, "vesk.cython_pid: more array arguments than parameters");
            return -1;
        }
        return validate_float_array(value, ndim, held_[held_count_++]);
    }
    const char* name() const noexcept { return name_; }

private:
    const char* name_;
    HeldBuffer held_[max_params];  // every parameter at most once
    std::size_t held_count_ = 0;
};

}  // namespace vesk
