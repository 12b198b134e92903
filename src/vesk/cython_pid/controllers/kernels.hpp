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

// An element loop whose iterations touch only their own element of every
// array (some arrays may be the same one: a previous error that takes the
// error in place): the compiler may vectorise it without proving that the
// arrays lie apart, which it cannot for pointers taken from a struct.
#if defined(__clang__)
#define VESK_IVDEP _Pragma("clang loop vectorize(assume_safety)")
#elif defined(__GNUC__)
#define VESK_IVDEP _Pragma("GCC ivdep")
#elif defined(_MSC_VER)
#define VESK_IVDEP __pragma(loop(ivdep))
#else
#define VESK_IVDEP
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

// One element of the PID law, in NumPy's operations and operand order:
//   I' = I + e*dt;  D = (e - e_prev)/dt, or 0 when not differentiating;
//   u = (Kp*e + Ki*I') + Kd*D
// Every path of both laws computes its elements here.
struct PidElement {
    double integral, u;
};
template <bool Differentiate>
[[gnu::always_inline]] inline PidElement pid_element(double e, double kp, double ki, double kd, double integral,
                                                     double previous, double dt) noexcept {
    const double new_integral = integral + e * dt;
    const double derivative = Differentiate ? (e - previous) / dt : 0.0;
    return {new_integral, (kp * e + ki * new_integral) + kd * derivative};
}

// NumPy's clip: the value itself unless it lies beyond a bound, so a bound
// equal to the value (a zero of the other sign) leaves the value; a lower
// bound above the upper one gives the upper one.
inline double clip(double x, double lower, double upper) noexcept {
    const double low = x < lower ? lower : x;
    return low > upper ? upper : low;
}

// One element of the adaptive law from its error and the sum of its history
// column (the new history's, the error included):
//   Kp' = Kp + clip((lr * sum/10) * e, lower, upper);  then the PID law with Kp'
struct AdaptiveElement {
    double kp, integral, u;
};
template <bool Differentiate>
[[gnu::always_inline]] inline AdaptiveElement adaptive_element(double e, double column_sum, double kp, double ki,
                                                               double kd, double integral, double previous, double dt,
                                                               double rate, double lower, double upper) noexcept {
    const double mean = column_sum / 10.0;
    const double new_kp = kp + clip((rate * mean) * e, lower, upper);
    const PidElement p = pid_element<Differentiate>(e, new_kp, ki, kd, integral, previous, dt);
    return {new_kp, p.integral, p.u};
}

inline constexpr std::size_t history_rows = 10;

// The sum of a one-column history's new column (the error, then the old
// rows 0 to 8, one contiguous run): NumPy sums such a run pairwise, eight
// partial sums and then the last two.
inline double single_column_sum(double e, const unaligned_double* h) noexcept {
    return 0.0 + (((((e + h[0]) + (h[1] + h[2])) + ((h[3] + h[4]) + (h[5] + h[6]))) + h[7]) + h[8]);
}

// ---- The PID step ------------------------------------------------------------
//   e = r - y;  then pid_element;  the error becomes the previous error.
// The integral is updated in place, its old values first logged into
// `integral_undo`, which only a step that NumPy takes over reads back
// (undo()). A previous error that nothing else holds takes the new error in
// place the same way (`error` is then `previous`, its old values logged into
// `previous_undo`): no new array whose fresh pages the system would zero.
struct PidStep {
    const unaligned_double *target, *current, *kp, *ki, *kd;
    unaligned_double* previous;  // read when differentiating; written only as `error`
    unaligned_double* integral;  // updated in place, overlapping nothing else
    double dt;
    unaligned_double* error;  // where the error goes: a new array, or `previous`
    unaligned_double* control;
    unaligned_double* integral_undo;  // the old integral
    unaligned_double* previous_undo;  // the old previous error, when `error` is `previous`; else null
};

// The loops work through the arrays a block at a time, their results going
// to small buffers on the stack first and then out: written straight out,
// the stores of one element would share their low address bits with the
// loads of the next ones whenever NumPy's allocations sit a multiple of
// 4 KiB apart, as same-sized ones do, and the processor would stall on
// every such pair. Each buffer is padded so the buffers fall at different
// offsets too.
inline constexpr std::size_t block = 256;
inline constexpr std::size_t padded = block + 8;

// From this many elements the adaptive step writes its new history, error
// and control signal, and its undo log, with non-temporal stores: they go
// to memory without first being read into the cache. Below that, the new
// history is read back by the next step, and it is faster to find it in the
// cache. The PID step streams only its undo log: its new arrays are memory
// the page fault or the allocator has just left in the cache.
inline constexpr std::size_t stream_from = std::size_t{1} << 20;

// From this many elements the adaptive pass takes half a block of columns
// at a time: its thirty streams (sixteen read, fourteen written) then visit
// 1 KiB each before the pass moves on.
inline constexpr std::size_t history_half_block_from = std::size_t{1} << 16;

// Copies m values through the C library's memcpy. Not inlined: where GCC
// can bound m (a block, at most 256 values), it expands a memcpy into
// `rep movsq`, whose start-up costs more than the copy of a short run.
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

// A short step, element by element in place: each element's old integral
// and previous error are read, logged and then overwritten, by this
// element only. The NaN bits of the control signal.
template <bool Differentiate>
[[gnu::always_inline]] inline std::uint64_t pid_short(const PidStep& s, std::size_t n) noexcept {
    const unaligned_double* VESK_RESTRICT target = s.target;
    const unaligned_double* VESK_RESTRICT current = s.current;
    const unaligned_double* VESK_RESTRICT kp = s.kp;
    const unaligned_double* VESK_RESTRICT ki = s.ki;
    const unaligned_double* VESK_RESTRICT kd = s.kd;
    unaligned_double* const integral = s.integral;
    const unaligned_double* const previous = s.previous;
    unaligned_double* const error_out = s.error;
    unaligned_double* VESK_RESTRICT control_out = s.control;
    unaligned_double* VESK_RESTRICT integral_undo = s.integral_undo;
    unaligned_double* VESK_RESTRICT previous_undo = s.previous_undo;
    std::uint64_t nans = 0;
    VESK_IVDEP
    for (std::size_t j = 0; j < n; ++j) {
        const double old_integral = integral[j];
        const double old_previous = previous_undo ? error_out[j] : 0.0;  // `error_out` is `previous` then
        const double e = target[j] - current[j];
        const PidElement r = pid_element<Differentiate>(
            e, kp[j], ki[j], kd[j], old_integral, Differentiate ? (previous_undo ? old_previous : previous[j]) : 0.0,
            s.dt);
        integral_undo[j] = old_integral;
        if (previous_undo) previous_undo[j] = old_previous;
        integral[j] = r.integral;
        error_out[j] = e;
        control_out[j] = r.u;
        nans |= nan_bit(r.u);  // every other result reaches u
    }
    return nans;
}

// One block of the PID step into the block buffers, from arrays this
// function only reads (the writes in place come after it). The NaN bits of
// the control signal.
template <bool Differentiate>
[[gnu::always_inline]] inline std::uint64_t pid_block(const PidStep& s, std::size_t start, double* VESK_RESTRICT errors,
                                                      double* VESK_RESTRICT integrals, double* VESK_RESTRICT controls,
                                                      std::size_t m) noexcept {
    const unaligned_double* VESK_RESTRICT target = s.target + start;
    const unaligned_double* VESK_RESTRICT current = s.current + start;
    const unaligned_double* VESK_RESTRICT kp = s.kp + start;
    const unaligned_double* VESK_RESTRICT ki = s.ki + start;
    const unaligned_double* VESK_RESTRICT kd = s.kd + start;
    const unaligned_double* VESK_RESTRICT integral = s.integral + start;
    const unaligned_double* VESK_RESTRICT previous = Differentiate ? s.previous + start : nullptr;
    std::uint64_t nans = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const double e = target[i] - current[i];
        const PidElement r =
            pid_element<Differentiate>(e, kp[i], ki[i], kd[i], integral[i], Differentiate ? previous[i] : 0.0, s.dt);
        errors[i] = e;
        integrals[i] = r.integral;
        controls[i] = r.u;
        nans |= nan_bit(r.u);  // every other result reaches u
    }
    return nans;
}

// Not inlined: the call keeps the arithmetic between the caller's clearing
// and reading of the status. A block at a time: its results into the block
// buffers, then the old integral (and previous error, when it takes the
// error in place) into the undo log, then the results out. True when no
// NaN reached the control signal.
template <bool Differentiate>
VESK_NOINLINE VESK_KERNEL_CLONES bool pid_loop(const PidStep& step, std::size_t n) noexcept {
    // A copy that the calls below cannot change: its fields are not reloaded after each.
    const PidStep s = step;
    if (n <= block) return !any_nan(pid_short<Differentiate>(s, n));
    std::uint64_t nans = 0;
    alignas(64) double errors[padded], integrals[padded], controls[padded];
    const bool stream = n >= stream_from;
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t m = n - start < block ? n - start : block;
        nans |= pid_block<Differentiate>(s, start, errors, integrals, controls, m);
        if (s.previous_undo) write_out(s.previous_undo + start, s.error + start, m, stream);
        copy(s.error + start, errors, m);
        write_out(s.integral_undo + start, s.integral + start, m, stream);
        copy(s.integral + start, integrals, m);
        copy(s.control + start, controls, m);
    }
    if (stream) store_fence();
    return !any_nan(nans);
}

// The PID step over n elements: true when no NaN reached the control signal.
inline bool run(const PidStep& s, std::size_t n, bool differentiate) noexcept {
    return differentiate ? pid_loop<true>(s, n) : pid_loop<false>(s, n);
}

// Puts back what a PID step updated in place, from its undo log.
inline void undo(const PidStep& s, std::size_t n) noexcept {
    std::memcpy(s.integral, s.integral_undo, n * sizeof(double));
    if (s.previous_undo) std::memcpy(s.previous, s.previous_undo, n * sizeof(double));
}

// ---- The adaptive step ---------------------------------------------------------
//   e = r - y;  H' = the error, then rows 0 to 8 of H;  then adaptive_element
//   with the sum of H's column;  the error becomes the previous error.
// `history` is the stored (10, n) history, row-major, and its mean is taken
// in NumPy's order for a C-contiguous (10, n) array: row by row from +0.0
// when n > 1, pairwise for n = 1 (single_column_sum).
// kp and the integral are updated in place, their old values first logged
// into `kp_undo` and `integral_undo` (streamed past the cache from
// stream_from: only a step that NumPy takes over reads them back).
struct AdaptiveStep {
    const unaligned_double *target, *current, *ki, *kd, *history;
    unaligned_double* previous;  // read when differentiating; written only as `error`
    unaligned_double *kp, *integral;  // updated in place, overlapping nothing else
    double dt, learning_rate, lower, upper;
    unaligned_double* error;  // where the error goes: a new array, scratch, or `previous`
    unaligned_double* control;
    unaligned_double *kp_undo, *integral_undo;  // the old kp and integral
    unaligned_double* previous_undo;  // the old previous error, when `error` is `previous`; else null
    unaligned_double* new_history;    // optional output: the whole new (10, n) history
    // Optional, for a history that nothing else holds and n > block: the
    // history rolled in place (`rolled` is `history`), its oldest row saved
    // into `oldest` (n values) for unroll_history().
    unaligned_double *rolled, *oldest;
};

// The element of column j, its results into kps, integrals and controls at i.
template <bool Differentiate>
[[gnu::always_inline]] inline std::uint64_t adaptive_finish(const AdaptiveStep& s, std::size_t j, double e,
                                                            double column_sum, double* kp_to, double* integral_to,
                                                            unaligned_double* u_to) noexcept {
    const AdaptiveElement r =
        adaptive_element<Differentiate>(e, column_sum, s.kp[j], s.ki[j], s.kd[j], s.integral[j],
                                        Differentiate ? s.previous[j] : 0.0, s.dt, s.learning_rate, s.lower, s.upper);
    *kp_to = r.kp;
    *integral_to = r.integral;
    *u_to = r.u;
    return nan_bit(r.u);  // every other result reaches u
}

// A short adaptive step (no new history written): one element at a time,
// kp and the integral to the stack buffers (they are only read meanwhile),
// their old values logged on the way. A short step's error never goes over
// the previous error: the caller copies it there. The NaN bits of the
// control signal.
template <bool Differentiate, bool SingleColumn>
[[gnu::always_inline]] inline std::uint64_t adaptive_short(const AdaptiveStep& s, double* VESK_RESTRICT kps,
                                                           double* VESK_RESTRICT integrals, std::size_t n) noexcept {
    const unaligned_double* VESK_RESTRICT target = s.target;
    const unaligned_double* VESK_RESTRICT current = s.current;
    const unaligned_double* VESK_RESTRICT kp = s.kp;
    const unaligned_double* VESK_RESTRICT ki = s.ki;
    const unaligned_double* VESK_RESTRICT kd = s.kd;
    const unaligned_double* VESK_RESTRICT integral = s.integral;
    const unaligned_double* VESK_RESTRICT previous = s.previous;
    const unaligned_double* VESK_RESTRICT h = s.history;
    unaligned_double* VESK_RESTRICT error_out = s.error;
    unaligned_double* VESK_RESTRICT control_out = s.control;
    unaligned_double* VESK_RESTRICT kp_undo = s.kp_undo;
    unaligned_double* VESK_RESTRICT integral_undo = s.integral_undo;
    std::uint64_t nans = 0;
    VESK_IVDEP
    for (std::size_t j = 0; j < n; ++j) {
        const double e = target[j] - current[j];
        double column_sum;
        if constexpr (SingleColumn) {
            column_sum = single_column_sum(e, h);
        } else {
            column_sum = 0.0 + e;
            for (std::size_t k = 0; k + 1 < history_rows; ++k) column_sum += h[k * n + j];
        }
        kp_undo[j] = kp[j];
        integral_undo[j] = integral[j];
        const AdaptiveElement r =
            adaptive_element<Differentiate>(e, column_sum, kp[j], ki[j], kd[j], integral[j],
                                            Differentiate ? previous[j] : 0.0, s.dt, s.learning_rate, s.lower, s.upper);
        error_out[j] = e;
        kps[j] = r.kp;
        integrals[j] = r.integral;
        control_out[j] = r.u;
        nans |= nan_bit(r.u);  // every other result reaches u
    }
    return nans;
}

// A block of an adaptive step's results out of the block buffers. The old
// kp and integral go to their undo log first, then the new ones over them,
// through the cache, where the pass has just read them.
inline void write_results(const AdaptiveStep& s, std::size_t start, const double* errors, const double* kps,
                          const double* integrals, const double* controls, std::size_t m, bool stream) noexcept {
    if (s.previous_undo) write_out(s.previous_undo + start, s.error + start, m, stream);  // `error` is `previous`
    write_out(s.error + start, errors, m, stream);
    write_out(s.kp_undo + start, s.kp + start, m, stream);
    write_out(s.integral_undo + start, s.integral + start, m, stream);
    copy(s.kp + start, kps, m);
    copy(s.integral + start, integrals, m);
    write_out(s.control + start, controls, m, stream);
}

// The history's rows lie n elements apart, so the mean is summed a block of
// columns at a time, row by row, each column in NumPy's order; one element
// at a time over ten rows would have their lines compete for the same cache
// sets. With WriteHistory the pass also writes the new history (the error,
// then the old rows 0 to 8, which it reads anyway) while those rows sit in
// the first-level cache: one pass over the history instead of two.
// Until the flags are read at the end of the pass any block may still send
// the step to NumPy, which needs the old values of every block: hence the
// undo log of kp and the integral, kept in scratch the module keeps from
// one step for the next (fresh pages would be zeroed by the system on every
// step). True when no NaN reached the control signal.
template <bool Differentiate, bool SingleColumn, bool WriteHistory>
VESK_NOINLINE VESK_KERNEL_CLONES bool adaptive_loop(const AdaptiveStep& s, std::size_t n) noexcept {
    std::uint64_t nans = 0;
    if (!WriteHistory && n <= block) {
        // A short history's rows lie close: one element at a time, kp and
        // the integral over their old values once those are logged.
        alignas(64) double kps[block], integrals[block];
        nans = adaptive_short<Differentiate, SingleColumn>(s, kps, integrals, n);
        copy(s.kp, kps, n);
        copy(s.integral, integrals, n);
        return !any_nan(nans);
    }
    const unaligned_double* VESK_RESTRICT target = s.target;
    const unaligned_double* VESK_RESTRICT current = s.current;
    const unaligned_double* VESK_RESTRICT h = s.history;
    unaligned_double* VESK_RESTRICT history_out = s.new_history;
    alignas(64) double errors[padded], sums[padded], kps[padded], integrals[padded], controls[padded];
    double single_sum = 0.0;
    const bool stream = n >= stream_from;
    const std::size_t columns = n >= history_half_block_from ? block / 2 : block;
    for (std::size_t start = 0; start < n; start += columns) {
        const std::size_t m = n - start < columns ? n - start : columns;
        VESK_IVDEP
        for (std::size_t i = 0; i < m; ++i) errors[i] = target[start + i] - current[start + i];
        if constexpr (SingleColumn) {
            single_sum = single_column_sum(errors[0], h);
            if constexpr (WriteHistory) {
                history_out[0] = errors[0];
                for (std::size_t k = 0; k + 1 < history_rows; ++k) history_out[k + 1] = h[k];
            }
        } else {
            for (std::size_t i = 0; i < m; ++i) sums[i] = 0.0 + errors[i];
            if constexpr (WriteHistory) write_out(history_out + start, errors, m, stream);
            for (std::size_t k = 0; k + 1 < history_rows; ++k) {
                const unaligned_double* VESK_RESTRICT row = h + k * n + start;
                for (std::size_t i = 0; i < m; ++i) sums[i] += row[i];
                if constexpr (WriteHistory) write_out(history_out + (k + 1) * n + start, row, m, stream);
            }
        }
        VESK_IVDEP
        for (std::size_t i = 0; i < m; ++i)
            nans |= adaptive_finish<Differentiate>(s, start + i, errors[i], SingleColumn ? single_sum : sums[i],
                                                   kps + i, integrals + i, controls + i);
        write_results(s, start, errors, kps, integrals, controls, m, stream);
    }
    if (stream) store_fence();
    return !any_nan(nans);
}

// The history rolled in place, for a large step whose history nothing else
// holds: no new (10, n) array, whose fresh pages the system would zero on
// every step. A block of columns at a time: its sums read rows 0 to 8, then,
// while they are in the first-level cache, the oldest row goes to `oldest`,
// each row moves one down and the error becomes row 0. A step sent back to
// NumPy is rolled back by unroll_history(), which only moves values, so the
// history is then exactly as it was. The history is reached through
// `history` alone here (no restrict): it is read and written. True when no
// NaN reached the control signal.
template <bool Differentiate>
VESK_NOINLINE VESK_KERNEL_CLONES bool adaptive_roll_loop(const AdaptiveStep& s, std::size_t n) noexcept {
    const unaligned_double* VESK_RESTRICT target = s.target;
    const unaligned_double* VESK_RESTRICT current = s.current;
    unaligned_double* const history = s.rolled;
    std::uint64_t nans = 0;
    alignas(64) double errors[padded], sums[padded], kps[padded], integrals[padded], controls[padded];
    const bool stream = n >= stream_from;
    const std::size_t columns = n >= history_half_block_from ? block / 2 : block;
    for (std::size_t start = 0; start < n; start += columns) {
        const std::size_t m = n - start < columns ? n - start : columns;
        VESK_IVDEP
        for (std::size_t i = 0; i < m; ++i) errors[i] = target[start + i] - current[start + i];
        for (std::size_t i = 0; i < m; ++i) sums[i] = 0.0 + errors[i];
        for (std::size_t k = 0; k + 1 < history_rows; ++k) {
            const unaligned_double* row = history + k * n + start;
            for (std::size_t i = 0; i < m; ++i) sums[i] += row[i];
        }
        copy(s.oldest + start, history + (history_rows - 1) * n + start, m);
        for (std::size_t k = history_rows - 1; k > 0; --k) copy(history + k * n + start, history + (k - 1) * n + start, m);
        copy(history + start, errors, m);
        VESK_IVDEP
        for (std::size_t i = 0; i < m; ++i)
            nans |= adaptive_finish<Differentiate>(s, start + i, errors[i], sums[i], kps + i, integrals + i,
                                                   controls + i);
        write_results(s, start, errors, kps, integrals, controls, m, stream);
    }
    if (stream) store_fence();
    return !any_nan(nans);
}

// Undoes adaptive_roll_loop's roll: each row one up, the oldest row back.
inline void unroll_history(unaligned_double* history, const unaligned_double* oldest, std::size_t n) noexcept {
    for (std::size_t k = 0; k + 1 < history_rows; ++k)
        std::memcpy(history + k * n, history + (k + 1) * n, n * sizeof(double));
    std::memcpy(history + (history_rows - 1) * n, oldest, n * sizeof(double));
}

// The adaptive step over n elements: true when no NaN reached the control signal.
inline bool run(const AdaptiveStep& s, std::size_t n, bool differentiate) noexcept {
    if (s.rolled) return differentiate ? adaptive_roll_loop<true>(s, n) : adaptive_roll_loop<false>(s, n);
    const bool write = s.new_history != nullptr;
    if (n == 1) {
        if (write) return differentiate ? adaptive_loop<true, true, true>(s, n) : adaptive_loop<false, true, true>(s, n);
        return differentiate ? adaptive_loop<true, true, false>(s, n) : adaptive_loop<false, true, false>(s, n);
    }
    if (write) return differentiate ? adaptive_loop<true, false, true>(s, n) : adaptive_loop<false, false, true>(s, n);
    return differentiate ? adaptive_loop<true, false, false>(s, n) : adaptive_loop<false, false, false>(s, n);
}

// Puts back what an adaptive step updated in place (the history apart:
// unroll_history()), from its undo log.
inline void undo(const AdaptiveStep& s, std::size_t n) noexcept {
    if (s.previous_undo) std::memcpy(s.previous, s.previous_undo, n * sizeof(double));
    std::memcpy(s.kp, s.kp_undo, n * sizeof(double));
    std::memcpy(s.integral, s.integral_undo, n * sizeof(double));
}

}  // namespace vesk::kernels
