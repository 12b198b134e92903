// The fused kernels: one control step over plain double arrays of n
// elements, no interpreter calls, so that they may run without the GIL.
//
// What they reproduce bit for bit: each kernel performs exactly the IEEE
// operations that NumPy performs for the law, element by element and with
// the same operand order, so every result is NumPy's whenever no NaN comes
// out and no floating-point flag is raised. That holds for any finite or
// infinite input, signed zeros and subnormals included, and for any
// learning rate; the clip's bounds must not be NaN (clip(x, NaN, NaN) is NaN
// in NumPy and x here): the caller sends such a step to NumPy before a
// kernel runs. What they cannot promise is which NaN NumPy keeps (that
// depends on its loop) or which warning NumPy gives; so a kernel reports
// whether a NaN reached any result (an integer test, which raises nothing),
// the caller reads the flags of the arithmetic, and either sends the step
// back to NumPy. No decision rests on a flag that a comparison may or may
// not raise: that depends on the compiler and the processor.
// Every result of a step reaches the control signal through arithmetic,
// which keeps a NaN, so a NaN anywhere shows in the control signal.
// The build keeps floating-point contraction off (no fused multiply-add).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The floating-point status lives in MXCSR only where the arithmetic is SSE2
// (x86-64; 32-bit x86 computes on the x87 unit unless told otherwise).
#if defined(__SSE2_MATH__) || defined(_M_X64)
#define VESK_MXCSR 1
#include <emmintrin.h>
#else
#define VESK_MXCSR 0
#include <cfenv>
#endif
#if defined(__SSE2__) || defined(_M_X64)
#define VESK_STREAM_STORES 1
#include <emmintrin.h>
#else
#define VESK_STREAM_STORES 0
#endif

// MSVC keeps floating-point code in place around the status only when told.
#if defined(_MSC_VER) && !defined(__clang__)
#pragma fenv_access(on)
#define VESK_RESTRICT __restrict
#define VESK_NOINLINE __declspec(noinline)
#else
#define VESK_RESTRICT __restrict__
#define VESK_NOINLINE __attribute__((noinline))
#endif

// On x86-64 each loop is also built for AVX2 and AVX-512 and the widest
// the processor has is picked at load time, as NumPy picks its loops. The
// operations are the same IEEE ones at every width. The pick needs GCC and
// glibc's indirect functions.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__) && defined(__GLIBC__)
#define VESK_KERNEL_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define VESK_KERNEL_CLONES
#endif

namespace vesk::kernels {

// A float64 at any address: an array that came through a pickle may have
// its data at an odd offset. Loads and stores through it are unaligned ones.
#if defined(__GNUC__)
typedef double unaligned_double __attribute__((aligned(1)));
#else
typedef double unaligned_double;  // MSVC's x64 and ARM64 code loads doubles from any address
#endif

// The floating-point status that NumPy turns into warnings or errors:
// invalid, divide-by-zero, overflow, underflow (inexact is ignored).
class FpStatus {
public:
    static void clear() noexcept {
#if VESK_MXCSR
        // Writing the register costs more than reading it, and the flags
        // are mostly clear already: NumPy clears them around its own loops.
        if (const unsigned csr = _mm_getcsr(); csr & flags) _mm_setcsr(csr & ~flags);
#else
        std::feclearexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW);
#endif
    }
    static bool raised() noexcept {
#if VESK_MXCSR
        return (_mm_getcsr() & flags) != 0;
#else
        return std::fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW) != 0;
#endif
    }

private:
#if VESK_MXCSR
    // MXCSR: invalid 0x01, divide-by-zero 0x04, overflow 0x08, underflow 0x10
    // (0x02 denormal operand and 0x20 precision are not NumPy's).
    static constexpr unsigned flags = 0x01 | 0x04 | 0x08 | 0x10;
#endif
};

// NaN detection in integer arithmetic, which raises no flag and which GCC
// vectorises as an OR reduction: the top bit of the result is set exactly
// when x is a NaN (magnitude bits above those of infinity).
inline std::uint64_t nan_bit(double x) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & 0x7fffffffffffffffULL) + 0x000fffffffffffffULL;
}
inline bool any_nan(std::uint64_t bits) noexcept { return (bits >> 63) != 0; }

// The PID step. `previous` is read only when `Differentiate` (dt > 0).
//   e = r - y;  I' = I + e*dt;  D = (e - e_prev)/dt or 0;  u = (Kp*e + Ki*I') + Kd*D
// The integral is updated in place, its old values first logged into
// `integral_undo`, which only a step that NumPy takes over reads back
// (undo_update()). The way before this one left the integral alone and
// added e*dt into it after the pass, once the step was known clean: a
// second pass reading the error and the integral again. Measured side by
// side, logging instead is 7 to 20 % faster a step at 2^18 to 2^20
// elements and the same at other sizes.
// A previous error that nothing else holds gets the new error in place the
// same way (`error` is then `previous`, its old values logged into
// `previous_undo`): no new array whose fresh pages the system would zero.
struct PidStep {
    const unaligned_double *target, *current, *kp, *ki, *kd, *previous;
    unaligned_double* integral;  // updated in place, overlapping nothing else
    double dt;
    unaligned_double *error, *control;  // outputs; `error` may be `previous`, nothing else overlaps
    unaligned_double* integral_undo;    // the old integral, for undo_update()
    unaligned_double* previous_undo;    // when `error` is `previous`: its old values
};

// The loops work through the arrays a block at a time, their results going
// to small buffers on the stack first and then out. Written straight out,
// the stores of one element would share their low address bits with the
// loads of the next ones whenever NumPy's allocations sit a multiple of
// 4 KiB apart, as same-sized ones do, and the processor would stall on
// every such pair. Each buffer is padded so the buffers fall at different
// offsets too.
inline constexpr std::size_t block = 256;
inline constexpr std::size_t padded = block + 8;

// From this many elements (an 80 MiB history) the adaptive step writes its
// new history, error and control signal with non-temporal stores: they go
// to memory without first being read into the cache, and without pushing
// out of it what the step still reads. Below that, the new history is read
// back by the next step, and it is faster to find it in the cache: measured
// side by side (one process, this module built both ways), streaming cost
// 36 % more a step at 2^17 elements and 22 % at 2^18, and saved 8 to 21 %
// at 2^20 and 1 to 7 % at 2^22. The undo log of the old kp and integral
// streams with them: nothing reads it unless NumPy takes the step over.
// The PID step streams nothing: its new arrays are fresh
// memory whose zeroed lines the page fault has just left in the cache, or
// memory the allocator has just handed back, and writing through the cache
// measured 11 % faster at 2^20 and 6 % at 2^22, 23 % at 2^18 and 2^19.
inline constexpr std::size_t stream_from = std::size_t{1} << 20;

// Copies m values through the C library's memcpy. Not inlined: where GCC
// can bound m (a block, at most 256 values), it expands a memcpy into
// `rep movsq`, whose start-up costs more than the copy of a short run: at
// small n, some 25 ns a step for every such copy.
VESK_NOINLINE inline void copy(unaligned_double* VESK_RESTRICT to, const unaligned_double* VESK_RESTRICT from,
                               std::size_t m) noexcept {
    std::memcpy(to, from, m * sizeof(double));
}

// Copies a block of m values out, streaming it past the cache if asked and
// the destination allows (a whole number of doubles from a 16-byte
// boundary, once a first element is peeled off if need be).
inline void write_out(unaligned_double* VESK_RESTRICT to, const unaligned_double* VESK_RESTRICT from, std::size_t m,
                      bool stream) noexcept {
#if VESK_STREAM_STORES
    const auto address = reinterpret_cast<std::uintptr_t>(to);
    if (stream && address % 8 == 0 && m >= 2) {
        std::size_t i = 0;
        if (address % 16 != 0) {
            to[0] = from[0];
            i = 1;
        }
        for (; i + 2 <= m; i += 2)
            _mm_stream_pd(reinterpret_cast<double*>(to + i), _mm_loadu_pd(reinterpret_cast<const double*>(from + i)));
        if (i < m) to[i] = from[i];
        return;
    }
#else
    (void)stream;
#endif
    copy(to, from, m);
}

// Orders the non-temporal stores before anything that follows.
inline void store_fence() noexcept {
#if VESK_STREAM_STORES
    _mm_sfence();
#endif
}

// One block of the PID step into the block buffers, from arrays this
// function only reads: restrict lets GCC vectorise, and the writes in place
// come after it. Returns the NaN bits of the control signal.
template <bool Differentiate>
[[gnu::always_inline]] inline std::uint64_t pid_block(
    const unaligned_double* VESK_RESTRICT target, const unaligned_double* VESK_RESTRICT current,
    const unaligned_double* VESK_RESTRICT kp, const unaligned_double* VESK_RESTRICT ki,
    const unaligned_double* VESK_RESTRICT kd, const unaligned_double* VESK_RESTRICT integral,
    const unaligned_double* VESK_RESTRICT previous, double dt, double* VESK_RESTRICT errors,
    double* VESK_RESTRICT integrals, unaligned_double* VESK_RESTRICT controls, std::size_t m) noexcept {
    std::uint64_t nans = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const double e = target[i] - current[i];
        const double new_integral = integral[i] + e * dt;
        const double derivative = Differentiate ? (e - previous[i]) / dt : 0.0;
        const double u = (kp[i] * e + ki[i] * new_integral) + kd[i] * derivative;
        errors[i] = e;
        integrals[i] = new_integral;
        controls[i] = u;
        nans |= nan_bit(u);  // every other result reaches u
    }
    return nans;
}

// A short step, element by element in place: each element's old integral
// and previous error are read, logged and then overwritten, by this
// element only.
template <bool Differentiate>
[[gnu::always_inline]] inline std::uint64_t pid_short(
    const unaligned_double* VESK_RESTRICT target, const unaligned_double* VESK_RESTRICT current,
    const unaligned_double* VESK_RESTRICT kp, const unaligned_double* VESK_RESTRICT ki,
    const unaligned_double* VESK_RESTRICT kd, unaligned_double* integral, const unaligned_double* previous,
    double dt, unaligned_double* error_out, unaligned_double* VESK_RESTRICT control_out,
    unaligned_double* VESK_RESTRICT integral_undo, unaligned_double* VESK_RESTRICT previous_undo,
    std::size_t n) noexcept {
    std::uint64_t nans = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const double old_integral = integral[j];
        const double old_previous = previous_undo ? error_out[j] : 0.0;  // `error_out` is `previous` then
        const double e = target[j] - current[j];
        const double new_integral = old_integral + e * dt;
        const double derivative = Differentiate ? (e - (previous_undo ? old_previous : previous[j])) / dt : 0.0;
        const double u = (kp[j] * e + ki[j] * new_integral) + kd[j] * derivative;
        integral_undo[j] = old_integral;
        if (previous_undo) previous_undo[j] = old_previous;
        integral[j] = new_integral;
        error_out[j] = e;
        control_out[j] = u;
        nans |= nan_bit(u);  // every other result reaches u
    }
    return nans;
}

// Not inlined: the call keeps the arithmetic between the caller's clearing
// and reading of the status. A block at a time: its results into the block
// buffers, then the old integral (and previous error, when it takes the
// error in place) into the undo log, then the results out.
template <bool Differentiate>
VESK_NOINLINE VESK_KERNEL_CLONES bool pid_loop(const unaligned_double* target, const unaligned_double* current,
                                               const unaligned_double* kp, const unaligned_double* ki,
                                               const unaligned_double* kd, unaligned_double* integral,
                                               const unaligned_double* previous, double dt, unaligned_double* error_out,
                                               unaligned_double* control_out, unaligned_double* integral_undo,
                                               unaligned_double* previous_undo, std::size_t n) noexcept {
    std::uint64_t nans = 0;
    alignas(64) double errors[padded], integrals[padded], controls[padded];
    if (n <= block) {
        return any_nan(pid_short<Differentiate>(target, current, kp, ki, kd, integral, previous, dt, error_out,
                                                control_out, integral_undo, previous_undo, n));
    }
    const bool stream = n >= stream_from;
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t m = n - start < block ? n - start : block;
        nans |= pid_block<Differentiate>(target + start, current + start, kp + start, ki + start, kd + start,
                                         integral + start, Differentiate ? previous + start : nullptr, dt, errors,
                                         integrals, controls, m);
        if (previous_undo) write_out(previous_undo + start, error_out + start, m, stream);
        copy(error_out + start, errors, m);
        write_out(integral_undo + start, integral + start, m, stream);
        copy(integral + start, integrals, m);
        copy(control_out + start, controls, m);
    }
    if (stream) store_fence();
    return any_nan(nans);
}

template <bool Differentiate>
bool pid_step(const PidStep& s, std::size_t n) noexcept {
    return pid_loop<Differentiate>(s.target, s.current, s.kp, s.ki, s.kd, s.integral, s.previous, s.dt, s.error,
                                   s.control, s.integral_undo, s.previous_undo, n);
}

// Puts back what a PID step updated in place, from its undo log.
inline void undo_update(const PidStep& s, std::size_t n) noexcept {
    std::memcpy(s.integral, s.integral_undo, n * sizeof(double));
    if (s.previous_undo) std::memcpy(s.error, s.previous_undo, n * sizeof(double));
}

inline bool pid_step(const PidStep& s, std::size_t n, bool differentiate) noexcept {
    return differentiate ? pid_step<true>(s, n) : pid_step<false>(s, n);
}

// The adaptive step. `history` is the stored (10, n) history, row-major;
// the new history is the error followed by its rows 0 to 8, and its mean is
// taken in NumPy's order for a C-contiguous (10, n) array: row by row from
// +0.0 when n > 1; for n = 1 the ten values form one contiguous run, which
// NumPy sums pairwise (eight partial sums, then the last two).
//   m = mean(H');  Kp' = Kp + clip((lr*m)*e, -M, M);  then the PID law with Kp'
struct AdaptiveStep {
    const unaligned_double *target, *current, *ki, *kd, *previous, *history;
    unaligned_double *kp, *integral;  // updated in place, overlapping nothing else
    double dt, learning_rate, lower, upper;
    unaligned_double *error, *control;  // outputs; `error` may be `previous`, nothing else overlaps
    unaligned_double *kp_undo, *integral_undo;  // the old kp and integral, for undo_updates()
    unaligned_double* previous_undo;  // when `error` is `previous`: its old values
    unaligned_double* new_history;  // optional output: the whole new (10, n) history
    // Optional, for a history that nothing else holds and n > block: the
    // history rolled in place (`rolled` is `history`), its oldest row saved
    // into `oldest` (n values) for unroll_history().
    unaligned_double *rolled, *oldest;
};

inline constexpr std::size_t history_rows = 10;

// From this many elements the adaptive pass takes half a block of columns
// at a time: its thirty streams (sixteen read, fourteen written) then visit
// 1 KiB each before the pass moves on. Measured side by side against whole
// blocks: 3-12 % faster at 2^18 and 2^20 elements, 3 % at 2^22, the same at
// 2^16; below, the shorter runs cost more than they save (quarter blocks
// were slower again at 2^20 and 2^22).
inline constexpr std::size_t history_half_block_from = std::size_t{1} << 16;

// NumPy's clip: the value itself unless it lies beyond a bound, so a bound
// equal to the value (a zero of the other sign) leaves the value; a lower
// bound above the upper one gives the upper one.
inline double clip(double x, double lower, double upper) noexcept {
    const double low = x < lower ? lower : x;
    return low > upper ? upper : low;
}

// A block of an adaptive step's results out of the block buffers. The old
// kp and integral go to their undo log first (streamed like the new arrays:
// it is read back only by a step that NumPy takes over), then the new ones
// over them, through the cache, where the pass has just read them.
inline void write_results(unaligned_double* error_out, unaligned_double* kp, unaligned_double* integral,
                          unaligned_double* control_out, unaligned_double* VESK_RESTRICT kp_undo,
                          unaligned_double* VESK_RESTRICT integral_undo, unaligned_double* VESK_RESTRICT previous_undo,
                          std::size_t start, const double* errors, const double* kps, const double* integrals,
                          const double* controls, std::size_t m, bool stream) noexcept {
    if (previous_undo) write_out(previous_undo + start, error_out + start, m, stream);  // `error_out` is the previous error
    write_out(error_out + start, errors, m, stream);
    write_out(kp_undo + start, kp + start, m, stream);
    write_out(integral_undo + start, integral + start, m, stream);
    copy(kp + start, kps, m);
    copy(integral + start, integrals, m);
    write_out(control_out + start, controls, m, stream);
}

// Puts back the kp and integral that a step updated in place, from their
// undo log, when NumPy takes the step over.
inline void undo_updates(const AdaptiveStep& s, std::size_t n) noexcept {
    if (s.previous_undo) std::memcpy(s.error, s.previous_undo, n * sizeof(double));
    std::memcpy(s.kp, s.kp_undo, n * sizeof(double));
    std::memcpy(s.integral, s.integral_undo, n * sizeof(double));
}

// One element of the adaptive step from its error and the sum of its
// history column, in NumPy's operations and order.
struct AdaptiveElement {
    double kp, integral, u;
};
template <bool Differentiate>
inline AdaptiveElement adaptive_element(double e, double column_sum, double old_kp, double ki, double kd, double old_integral,
                                        double previous, double dt, double rate, double lower,
                                        double upper) noexcept {
    const double mean = column_sum / 10.0;
    const double delta = clip((rate * mean) * e, lower, upper);
    const double kp = old_kp + delta;
    const double integral = old_integral + e * dt;
    const double derivative = Differentiate ? (e - previous) / dt : 0.0;
    return {kp, integral, (kp * e + ki * integral) + kd * derivative};
}

// A short adaptive step into the stack buffers, from arrays this function
// only reads (restrict lets GCC vectorise; the writes in place follow it),
// with the old kp and integral logged on the way. The NaN bits of the
// control signal.
template <bool Differentiate, bool SingleColumn>
[[gnu::always_inline]] inline std::uint64_t adaptive_short(
    const unaligned_double* VESK_RESTRICT target, const unaligned_double* VESK_RESTRICT current,
    const unaligned_double* VESK_RESTRICT kp, const unaligned_double* VESK_RESTRICT ki,
    const unaligned_double* VESK_RESTRICT kd, const unaligned_double* VESK_RESTRICT integral,
    const unaligned_double* VESK_RESTRICT previous, const unaligned_double* VESK_RESTRICT h, double dt, double rate,
    double lower, double upper, unaligned_double* VESK_RESTRICT error_out, double* VESK_RESTRICT kps,
    double* VESK_RESTRICT integrals, unaligned_double* VESK_RESTRICT control_out,
    unaligned_double* VESK_RESTRICT kp_undo, unaligned_double* VESK_RESTRICT integral_undo, std::size_t n) noexcept {
    std::uint64_t nans = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const double e = target[j] - current[j];
        double column_sum;
        if constexpr (SingleColumn) {  // n == 1: the ten values form one contiguous run
            column_sum = 0.0 + (((((e + h[0]) + (h[1] + h[2])) + ((h[3] + h[4]) + (h[5] + h[6]))) + h[7]) + h[8]);
        } else {
            column_sum = 0.0 + e;
            for (std::size_t k = 0; k + 1 < history_rows; ++k) column_sum += h[k * n + j];
        }
        kp_undo[j] = kp[j];
        integral_undo[j] = integral[j];
        const AdaptiveElement r = adaptive_element<Differentiate>(e, column_sum, kp[j], ki[j], kd[j], integral[j],
                                                                  Differentiate ? previous[j] : 0.0, dt, rate, lower, upper);
        error_out[j] = e;
        kps[j] = r.kp;
        integrals[j] = r.integral;
        control_out[j] = r.u;
        nans |= nan_bit(r.u);  // every other result reaches u
    }
    return nans;
}

// With WriteHistory the pass also writes the new history (the error, then
// the old rows 0 to 8, which it reads anyway): one pass over the history
// instead of two for a large one. The history's rows lie n elements apart,
// so the mean is summed a block of columns at a time, row by row, each
// column in NumPy's order; one element at a time over ten rows would have
// their lines compete for the same cache sets.
//
// A large step is a stream: rows 0 to 8 of the old history are read once,
// each as its columns' sums need it, and copied straight on into the new
// history while they sit in the first-level cache; the new history, error
// and control signal go out with non-temporal stores from stream_from on,
// so their lines are not read first. kp and the integral are updated in
// place, a block at a time, their old values first streamed into an undo
// log (the caller's scratch) that only a step sent back to NumPy reads:
// undo_updates() then puts them back, so NumPy finds the state untouched.
// A new history costs more than its pass: at 2^20 elements the
// operating system zeroing its fresh pages was about 45 % of a step. So a
// history that nothing else holds (the usual case: only its field does) is
// not replaced but rolled in place by adaptive_roll_loop below, with an undo
// of one row kept aside; a fallback to NumPy, which is rare (an overflow, a
// NaN), then pays one more pass to roll it back. The alternatives measured
// worse or were refused: rolling it in the commit (memmove) moves the nine
// rows a second time; a pre-check of what can overflow is the whole
// computation over again; keeping the dropped history for the next step
// would hold a second history (80 MiB at 2^20) beside every controller.
//
// Why an undo log for kp and the integral: until the flags are read at the
// end of the pass, any block may still send the step to NumPy, which needs
// the old values of every block. The way before this one wrote the new
// values to scratch and copied them in after the pass: a second pass over
// four arrays' worth of memory. Logging the old values instead costs one
// streamed write of two arrays and no second pass: measured side by side,
// 6 to 20 % faster a step from 1,024 to 2^22 elements, the same below.
// That log is the one scratch the step cannot do without, so it is kept out
// of fresh pages: its block is kept from one step for the next (Scratch,
// fused.cpp), where the C library would otherwise hand back new pages to be
// zeroed on every step (25,600 page faults and half the step at 2^22).
//
// A small step (n <= 64) spends most of its time outside this loop; in it,
// the chain of dependent operations of one column (ten additions in
// NumPy's order, a division, the clip, the PID law) and the divider's
// throughput (two divisions an element, each as the law divides) set the
// cost, which no arrangement of the same operations shortens.
//
// Unaligned operands (a scattered pickle's, at odd addresses) take no path
// of their own: NumPy's own allocations are 16-byte aligned only, so that
// every 64-byte load of an aligned operand crosses a cache line too, and a
// narrower vector crosses the same lines as often (once a line). Above a
// block, the results go through the aligned block buffers whatever the
// destination. Measured side by side, every field and position at an odd
// address against a fresh controller: 0.94 to 1.08 for both laws from
// 1 to 2^18 elements, within the noise of a shared machine.
template <bool Differentiate, bool SingleColumn, bool WriteHistory>
VESK_NOINLINE VESK_KERNEL_CLONES bool adaptive_loop(const unaligned_double* VESK_RESTRICT target, const unaligned_double* VESK_RESTRICT current,
                                     unaligned_double* kp, const unaligned_double* VESK_RESTRICT ki,
                                     const unaligned_double* VESK_RESTRICT kd, unaligned_double* integral,
                                     const unaligned_double* previous, const unaligned_double* VESK_RESTRICT h, double dt,
                                     double rate, double lower, double upper, unaligned_double* error_out,
                                     unaligned_double* VESK_RESTRICT kp_undo, unaligned_double* VESK_RESTRICT integral_undo,
                                     unaligned_double* VESK_RESTRICT previous_undo,
                                     unaligned_double* VESK_RESTRICT control_out, unaligned_double* VESK_RESTRICT history_out,
                                     std::size_t n) noexcept {
    std::uint64_t nans = 0;
    // One element's results from its error and the sum of its history column.
    auto finish = [&](std::size_t j, double e, double column_sum, double* kp_to, double* integral_to,
                      unaligned_double* u_to) {
        const AdaptiveElement r = adaptive_element<Differentiate>(e, column_sum, kp[j], ki[j], kd[j], integral[j],
                                                                  Differentiate ? previous[j] : 0.0, dt, rate, lower, upper);
        *kp_to = r.kp;
        *integral_to = r.integral;
        *u_to = r.u;
        nans |= nan_bit(r.u);  // every other result reaches u
    };
    if (!WriteHistory && n <= block) {
        // A short history's rows lie close: one element at a time, kp and
        // the integral to the stack (they are only read meanwhile), then over
        // their old values once those are logged. A short step's error never
        // goes over the previous error (`previous_undo` is null): the caller
        // copies it there, which costs less than logging at this size.
        alignas(64) double kps[block], integrals[block];
        nans = adaptive_short<Differentiate, SingleColumn>(target, current, kp, ki, kd, integral, previous, h, dt, rate,
                                                           lower, upper, error_out, kps, integrals, control_out,
                                                           kp_undo, integral_undo, n);
        copy(kp, kps, n);
        copy(integral, integrals, n);
        return any_nan(nans);
    }
    alignas(64) double errors[padded], sums[padded], kps[padded], integrals[padded], controls[padded];
    double single_sum = 0.0;
    const bool stream = n >= stream_from;
    const std::size_t columns = n >= history_half_block_from ? block / 2 : block;
    for (std::size_t start = 0; start < n; start += columns) {
        const std::size_t m = n - start < columns ? n - start : columns;
        double* const e_to = errors;
        for (std::size_t i = 0; i < m; ++i) e_to[i] = target[start + i] - current[start + i];
        if constexpr (SingleColumn) {
            // n == 1: the ten values form one contiguous run (h[k] is row k).
            const double e = e_to[0];
            single_sum = 0.0 + (((((e + h[0]) + (h[1] + h[2])) + ((h[3] + h[4]) + (h[5] + h[6]))) + h[7]) + h[8]);
            if constexpr (WriteHistory) {
                history_out[0] = e;
                for (std::size_t k = 0; k + 1 < history_rows; ++k) history_out[k + 1] = h[k];
            }
        } else {
            for (std::size_t i = 0; i < m; ++i) sums[i] = 0.0 + e_to[i];
            if constexpr (WriteHistory) write_out(history_out + start, e_to, m, stream);
            for (std::size_t k = 0; k + 1 < history_rows; ++k) {
                const unaligned_double* VESK_RESTRICT row = h + k * n + start;
                for (std::size_t i = 0; i < m; ++i) sums[i] += row[i];
                if constexpr (WriteHistory) write_out(history_out + (k + 1) * n + start, row, m, stream);
            }
        }
        for (std::size_t i = 0; i < m; ++i)
            finish(start + i, e_to[i], SingleColumn ? single_sum : sums[i], kps + i, integrals + i, controls + i);
        write_results(error_out, kp, integral, control_out, kp_undo, integral_undo, previous_undo, start, errors, kps,
                      integrals, controls, m, stream);
    }
    if (stream) store_fence();
    return any_nan(nans);
}

// The history rolled in place, for a large step whose history nothing else
// holds: no new (10, n) array, whose fresh pages the operating system would
// zero on every step (about 45 % of a step at 2^20 elements). A block of
// columns at a time: its sums read rows 0 to 8, then, while they are in the
// first-level cache, the oldest row goes to `oldest`, each row moves one
// down and the error becomes row 0. A step sent back to NumPy is rolled
// back by unroll_history(), which only moves values, so the history is
// then exactly as it was. The history is reached through `history` alone
// here (no restrict): it is read and written.
template <bool Differentiate>
VESK_NOINLINE VESK_KERNEL_CLONES bool adaptive_roll_loop(const unaligned_double* VESK_RESTRICT target, const unaligned_double* VESK_RESTRICT current,
                                     unaligned_double* kp, const unaligned_double* VESK_RESTRICT ki,
                                     const unaligned_double* VESK_RESTRICT kd, unaligned_double* integral,
                                     const unaligned_double* previous, unaligned_double* history, double dt, double rate,
                                     double lower, double upper, unaligned_double* error_out,
                                     unaligned_double* VESK_RESTRICT kp_undo, unaligned_double* VESK_RESTRICT integral_undo,
                                     unaligned_double* VESK_RESTRICT previous_undo,
                                     unaligned_double* VESK_RESTRICT control_out, unaligned_double* VESK_RESTRICT oldest,
                                     std::size_t n) noexcept {
    std::uint64_t nans = 0;
    alignas(64) double errors[padded], sums[padded], kps[padded], integrals[padded], controls[padded];
    const bool stream = n >= stream_from;
    const std::size_t columns = n >= history_half_block_from ? block / 2 : block;
    for (std::size_t start = 0; start < n; start += columns) {
        const std::size_t m = n - start < columns ? n - start : columns;
        for (std::size_t i = 0; i < m; ++i) errors[i] = target[start + i] - current[start + i];
        for (std::size_t i = 0; i < m; ++i) sums[i] = 0.0 + errors[i];
        for (std::size_t k = 0; k + 1 < history_rows; ++k) {
            const unaligned_double* row = history + k * n + start;
            for (std::size_t i = 0; i < m; ++i) sums[i] += row[i];
        }
        copy(oldest + start, history + (history_rows - 1) * n + start, m);
        for (std::size_t k = history_rows - 1; k > 0; --k) copy(history + k * n + start, history + (k - 1) * n + start, m);
        copy(history + start, errors, m);
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t j = start + i;
            const AdaptiveElement r = adaptive_element<Differentiate>(errors[i], sums[i], kp[j], ki[j], kd[j],
                                                                      integral[j], Differentiate ? previous[j] : 0.0,
                                                                      dt, rate, lower, upper);
            kps[i] = r.kp;
            integrals[i] = r.integral;
            controls[i] = r.u;
            nans |= nan_bit(r.u);  // every other result reaches u
        }
        write_results(error_out, kp, integral, control_out, kp_undo, integral_undo, previous_undo, start, errors, kps,
                      integrals, controls, m, stream);
    }
    if (stream) store_fence();
    return any_nan(nans);
}

// Undoes adaptive_roll_loop's roll: each row one up, the oldest row back.
inline void unroll_history(unaligned_double* history, const unaligned_double* oldest, std::size_t n) noexcept {
    for (std::size_t k = 0; k + 1 < history_rows; ++k)
        std::memcpy(history + k * n, history + (k + 1) * n, n * sizeof(double));
    std::memcpy(history + (history_rows - 1) * n, oldest, n * sizeof(double));
}

template <bool Differentiate, bool SingleColumn, bool WriteHistory>
bool adaptive_step(const AdaptiveStep& s, std::size_t n) noexcept {
    return adaptive_loop<Differentiate, SingleColumn, WriteHistory>(
        s.target, s.current, s.kp, s.ki, s.kd, s.integral, s.previous, s.history, s.dt, s.learning_rate, s.lower,
        s.upper, s.error, s.kp_undo, s.integral_undo, s.previous_undo, s.control, s.new_history, n);
}

inline bool adaptive_step(const AdaptiveStep& s, std::size_t n, bool differentiate) noexcept {
    if (s.rolled) {
        auto loop = differentiate ? adaptive_roll_loop<true> : adaptive_roll_loop<false>;
        return loop(s.target, s.current, s.kp, s.ki, s.kd, s.integral, s.previous, s.rolled, s.dt, s.learning_rate,
                    s.lower, s.upper, s.error, s.kp_undo, s.integral_undo, s.previous_undo, s.control, s.oldest, n);
    }
    const bool write = s.new_history != nullptr;
    if (n == 1) {
        if (write) return differentiate ? adaptive_step<true, true, true>(s, n) : adaptive_step<false, true, true>(s, n);
        return differentiate ? adaptive_step<true, true, false>(s, n) : adaptive_step<false, true, false>(s, n);
    }
    if (write) return differentiate ? adaptive_step<true, false, true>(s, n) : adaptive_step<false, false, true>(s, n);
    return differentiate ? adaptive_step<true, false, false>(s, n) : adaptive_step<false, false, false>(s, n);
}

}  // namespace vesk::kernels
