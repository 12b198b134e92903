// The scope of one operation: the argument buffers exported to it, and the
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

    // Validates a float-array argument and keeps its buffer exported until
    // the operation returns. 0, or -1 with the error set.
    int export_buffer(PyObject* value, int ndim) {
        if (exports_count_ == std::size(exports_)) {
            PyErr_SetString(PyExc_SystemError, "vesk.cython_pid: more array arguments than parameters");
            return -1;
        }
        return validate_float_array(value, ndim, exports_[exports_count_++]);
    }
    const char* name() const noexcept { return name_; }

private:
    const char* name_;
    BufferExport exports_[max_params];  // every parameter at most once
    std::size_t exports_count_ = 0;
};

}  // namespace vesk
