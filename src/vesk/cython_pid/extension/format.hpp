// Checker for buffer-protocol format strings (struct-module style element
// descriptions). Plain C++: no Python headers, so it can be unit-tested alone.
#pragma once

#include <string>

namespace vesk::format {

// Checks that a buffer format string describes exactly one 8-byte real
// (float64_t) element, at offset 0 and with nothing after it.
// Returns an empty string when it does; otherwise the message of the
// ValueError to raise (always valid UTF-8, never empty).
// A null pointer stands for "B", as in the buffer protocol.
// Safe for any NUL-terminated input: no recursion, no reads past the end,
// repeat counts and offsets saturate instead of overflowing.
std::string check_float64(const char* fmt);

}  // namespace vesk::format

