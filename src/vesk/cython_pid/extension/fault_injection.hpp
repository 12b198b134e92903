// Allocation failure on demand, for the tests of the sanitizer build. There,
// the module is compiled with VESK_FAULT_INJECTION (meson's fault_injection
// option) and exports the counter below: set to k > 0, it makes the k-th of
// the module's own allocations from then on fail as if memory had run out
// (once; the counter then stays at 0). Elsewhere no allocation ever fails on
// purpose, and the test is a constant the compiler drops.
#pragma once

namespace vesk::fault {

#if defined(VESK_FAULT_INJECTION)
extern "C" long vesk_fail_allocation_at;  // defined and exported by fault_injection.cpp
inline bool allocation_fails() noexcept {
    return vesk_fail_allocation_at > 0 && --vesk_fail_allocation_at == 0;
}
#else
constexpr bool allocation_fails() noexcept { return false; }
#endif

}  // namespace vesk::fault
