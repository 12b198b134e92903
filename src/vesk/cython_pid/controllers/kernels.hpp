// The fused kernels: one control step over plain double arrays of n
// elements, no interpreter calls, so that they may run without the GIL.
//
// Each kernel performs exactly the IEEE operations that NumPy performs for
// the law, element by element and with the same operand order, so every
// finite result is the same bit for bit. What they cannot promise is which
// NaN NumPy keeps (that depends on its loop) or which warning NumPy gives;
// so a kernel reports whether a NaN reached any result, the caller reads the
// floating-point status, and either of the two sends the step back to NumPy.
// The build keeps floating-point contraction off (no fused multiply-add).
#pragma once

#include <cstddef>

#if defined(__x86_64__) || defined(__SSE2__)
#include <xmmintrin.h>
#else
#include <cfenv>
#endif

namespace vesk::kernels {

// The floating-point status that NumPy turns into warnings or errors:
// invalid, divide-by-zero, overflow, underflow (inexact is ignored).
class FpStatus {
public:
    static void clear() noexcept {
#if defined(__x86_64__) || defined(__SSE2__)
        _mm_setcsr(_mm_getcsr() & ~flags);
#else
        std::feclearexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW);
#endif
    }
    static bool raised() noexcept {
#if defined(__x86_64__) || defined(__SSE2__)
        return (_mm_getcsr() & flags) != 0;
#else
        return std::fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW) != 0;
#endif
    }

private:
#if defined(__x86_64__) || defined(__SSE2__)
    // MXCSR: invalid 0x01, divide-by-zero 0x04, overflow 0x08, underflow 0x10
    // (0x02 denormal operand and 0x20 precision are not NumPy's).
    static constexpr unsigned flags = 0x01 | 0x04 | 0x08 | 0x10;
#endif
};

// A quiet test: it raises no flag of its own on a NaN.
inline bool is_nan(double x) noexcept { return x != x; }

// The PID step. `previous` is read only when `Differentiate` (dt > 0).
//   e = r - y;  I' = I + e*dt;  D = (e - e_prev)/dt or 0;  u = (Kp*e + Ki*I') + Kd*D
struct PidStep {
    const double *target, *current, *kp, *ki, *kd, *integral, *previous;
    double dt;
    double *error, *new_integral, *control;  // outputs, none overlapping an input
};

// Not inlined: the call keeps the arithmetic between the caller's clearing
// and reading of the status.
template <bool Differentiate>
[[gnu::noinline]] bool pid_step(const PidStep& s, std::size_t n) noexcept {
    bool nan = false;
    const double dt = s.dt;
    for (std::size_t i = 0; i < n; ++i) {
        const double e = s.target[i] - s.current[i];
        const double integral = s.integral[i] + e * dt;
        const double derivative = Differentiate ? (e - s.previous[i]) / dt : 0.0;
        const double u = (s.kp[i] * e + s.ki[i] * integral) + s.kd[i] * derivative;
        s.error[i] = e;
        s.new_integral[i] = integral;
        s.control[i] = u;
        nan |= is_nan(e) | is_nan(integral) | is_nan(u);
    }
    return nan;
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
    const double *target, *current, *kp, *ki, *kd, *integral, *previous, *history;
    double dt, learning_rate, lower, upper;
    double *error, *new_kp, *new_integral, *control;  // outputs, none overlapping an input
};

inline constexpr std::size_t history_rows = 10;

// NumPy's clip: the value itself unless it lies beyond a bound, so a bound
// equal to the value (a zero of the other sign) leaves the value; a lower
// bound above the upper one gives the upper one.
inline double clip(double x, double lower, double upper) noexcept {
    const double low = x < lower ? lower : x;
    return low > upper ? upper : low;
}

template <bool Differentiate, bool SingleColumn>
[[gnu::noinline]] bool adaptive_step(const AdaptiveStep& s, std::size_t n) noexcept {
    bool nan = false;
    const double dt = s.dt;
    const double* h = s.history;
    for (std::size_t i = 0; i < n; ++i) {
        const double e = s.target[i] - s.current[i];
        double sum;
        if constexpr (SingleColumn) {
            // The new history's ten values: e, then old rows 0 to 8.
            const double* x = h;  // n == 1: x[k] is old row k
            sum = 0.0 + (((((e + x[0]) + (x[1] + x[2])) + ((x[3] + x[4]) + (x[5] + x[6]))) + x[7]) + x[8]);
        } else {
            sum = 0.0 + e;
            for (std::size_t k = 0; k + 1 < history_rows; ++k) sum += h[k * n + i];
        }
        const double mean = sum / 10.0;
        const double delta = clip((s.learning_rate * mean) * e, s.lower, s.upper);
        const double kp = s.kp[i] + delta;
        const double integral = s.integral[i] + e * dt;
        const double derivative = Differentiate ? (e - s.previous[i]) / dt : 0.0;
        const double u = (kp * e + s.ki[i] * integral) + s.kd[i] * derivative;
        s.error[i] = e;
        s.new_kp[i] = kp;
        s.new_integral[i] = integral;
        s.control[i] = u;
        nan |= is_nan(e) | is_nan(kp) | is_nan(integral) | is_nan(u);
    }
    return nan;
}

inline bool adaptive_step(const AdaptiveStep& s, std::size_t n, bool differentiate) noexcept {
    if (n == 1) return differentiate ? adaptive_step<true, true>(s, n) : adaptive_step<false, true>(s, n);
    return differentiate ? adaptive_step<true, false>(s, n) : adaptive_step<false, false>(s, n);
}

}  // namespace vesk::kernels
