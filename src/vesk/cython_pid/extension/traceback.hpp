// Traceback entries named after the failing operation, e.g.
// "vesk.cython_pid.PIDController.compute_control".
#pragma once

#include "ref.hpp"

namespace vesk {

// Adds one traceback entry for the exception being raised. The entry's file
// and line are those of the C++ source that detected the failure: the
// default arguments take the caller's position. (Not std::source_location:
// libstdc++'s needs clang 15 or later; these builtins are in GCC, clang and
// MSVC alike.)
void add_traceback(const char* operation, const char* file = __builtin_FILE(), unsigned line = __builtin_LINE());

}  // namespace vesk
