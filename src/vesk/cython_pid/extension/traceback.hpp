// Traceback entries named after the failing operation, e.g.
// "vesk.cython_pid.PIDController.compute_control".
#pragma once

#include <source_location>

#include "ref.hpp"

namespace vesk {

// Adds one traceback entry for the exception being raised. The entry's file
// and line are those of the C++ source that detected the failure.
void add_traceback(const char* operation, std::source_location where = std::source_location::current());

}  // namespace vesk
