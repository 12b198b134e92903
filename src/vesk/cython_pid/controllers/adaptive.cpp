// The adaptive law: a PID controller over 1-D arrays whose proportional gain
// adapts at every step from the mean of the 10 most recent errors, bounded
// per step by the maximum adjustment.
//
//   e = r - y;  H = roll(H, 1, axis 0) with H[0] = e
//   Kp += clip(lr * mean(H, axis 0) * e, -M, M);  I += e*dt
//   D = (e - e_prev)/dt if dt > 0 else 0;  u = (Kp*e + Ki*I) + Kd*D;  e_prev = e.copy()
#include "controllers.hpp"

#include <numpy/ndarraytypes.h>

#include <cmath>
#include <cstring>

#include "extension/binding.hpp"
#include "extension/convert.hpp"
#include "extension/operation.hpp"
#include "fused.hpp"
#include "numpy_calls.hpp"
#include "steps.hpp"

namespace vesk {

using enum AdaptiveFields::Field;

namespace {

constexpr double default_learning_rate = 0.01;
constexpr double default_max_adjustment = 0.1;

ParamList init_params{
    "__init__", {"initial_kp", "initial_ki", "initial_kd", "learning_rate", "max_adjustment"}, 5, 3};

Ref copy_of(PyObject* array) { return Ref::steal(PyObject_CallMethodNoArgs(array, globals::names.copy)); }

// A float field from a converted double.
int set_float_field(AdaptiveObject* self, AdaptiveFields::Field f, double value) {
    Ref number = Ref::made(PyFloat_FromDouble(value));
    if (!number) return -1;
    set_field(self, f, std::move(number));
    return 0;
}

// The fused step of the law (fused.hpp): one native pass in the plain case,
// the learning rate and maximum adjustment exact floats. kp and the integral
// are updated in place by that pass, their old values logged into scratch
// and put back if the kernel did not come through clean, so a step sent back
// to the generic law finds the state untouched.
// A history that nothing but its field holds (nothing else can see it
// change) is reused by a small step, which keeps every other thread from
// the fields until it stores its results (see `reusable`; a large step
// writes into a spare instead): one longer than a block rolls it in place in its
// one pass and keeps the oldest row until the step is known clean (undone
// otherwise); a shorter one rolls it in the commit. A previous error that
// nothing else holds is reused the same way: a step longer than a block
// writes the error over it, logged like kp; a shorter one copies it in in
// the commit. Otherwise the kernel writes a new history in its pass (it
// reads the old rows anyway) and the error into a new array.
struct FusedAdaptive {
    using Fields = AdaptiveFields;
    enum Operand { target, current, kp, ki, kd, integral, previous_error, error_history, learning_rate, max_adjustment };
    static constexpr fused::OperandSpec operands[] = {  // in the order of Operand
        {.source = fused::target_position, .role = fused::Role::read},
        {.source = fused::current_position, .role = fused::Role::read},
        {.source = AdaptiveFields::kp, .role = fused::Role::updated},
        {.source = AdaptiveFields::ki, .role = fused::Role::read},
        {.source = AdaptiveFields::kd, .role = fused::Role::read},
        {.source = AdaptiveFields::integral, .role = fused::Role::updated},
        // A copy of the step's error becomes the previous error.
        {.source = AdaptiveFields::previous_error, .role = fused::Role::replaced,
         .when = fused::When::differentiating, .result_like = target},
        {.source = AdaptiveFields::error_history, .role = fused::Role::replaced, .rows = fused::Rows::history,
         .result_like = error_history},
        {.source = AdaptiveFields::learning_rate, .role = fused::Role::number},
        {.source = AdaptiveFields::max_adjustment, .role = fused::Role::number},
    };
    static_assert(std::size(operands) == max_adjustment + 1, "one row per operand, in the enum's order");
    static constexpr fused::NumpyCall numpy_calls[] = {
        {fused::NumpyFunction::roll, fused::Called::always},
        {fused::NumpyFunction::mean, fused::Called::always},
        {fused::NumpyFunction::clip, fused::Called::always},
        {fused::NumpyFunction::zeros_like, fused::Called::unless_differentiating},
    };
    static constexpr int control_like = kp;  // u = Kp*e + ...: kp's dtype object
    // The GIL is kept up to 2^18 elements (a 20 MiB history, a step of a few
    // ms): a step that keeps it rolls a history nothing else holds in place,
    // where a step without it writes all ten rows into a spare. Measured side
    // by side, the spare cost 15 to 30 % a step at 2^14 to 2^16 elements
    // (twice the history's bytes in the caches), and 8 % at 2^18.
    static constexpr std::size_t release_gil_from = std::size_t{1} << 18;
    using ndims = std::integer_sequence<int, 1>;
    using R = fused::Resolved<FusedAdaptive>;

    // A NaN bound is NumPy's to clip with: the kernel's clip would keep the value.
    static bool accepts(const R& r) { return !std::isnan(r.number[max_adjustment]); }
    // A reused history longer than a block is rolled in place by the kernel
    // (shorter, by the commit), its oldest row kept until the step is clean.
    static bool rolled(const R& r) { return r.reused[error_history] && r.n > kernels::block; }
    // Scratch: the undo log of kp and of the integral, the error or the undo
    // log of a reused previous error, and a rolled history's oldest row.
    static std::size_t scratch_size(const R& r) {
        return (2 + r.reused[previous_error] + rolled(r)) * r.n;
    }
    static kernels::unaligned_double* kp_undo(const R& r) { return r.scratch; }
    static kernels::unaligned_double* integral_undo(const R& r) { return r.scratch + r.n; }
    // A reused previous error longer than a block takes the error in place,
    // logged like kp; a shorter one gets it from scratch in the commit.
    static bool previous_in_place(const R& r) { return r.reused[previous_error] && r.n > kernels::block; }
    static kernels::unaligned_double* error(const R& r) {
        return previous_in_place(r)      ? r.data[previous_error]
               : r.reused[previous_error] ? r.scratch + 2 * r.n
                                          : r.result[previous_error];
    }
    static kernels::unaligned_double* previous_undo(const R& r) {
        return previous_in_place(r) ? r.scratch + 2 * r.n : nullptr;
    }
    static kernels::unaligned_double* oldest(const R& r) { return r.scratch + (2 + r.reused[previous_error]) * r.n; }
    static kernels::AdaptiveStep pass(const R& r) {
        const double limit = r.number[max_adjustment];
        return {
            .target = r.data[target], .current = r.data[current], .ki = r.data[ki], .kd = r.data[kd],
            .history = r.data[error_history], .previous = r.data[previous_error], .kp = r.data[kp],
            .integral = r.data[integral], .dt = r.dt, .learning_rate = r.number[learning_rate], .lower = -limit,
            .upper = limit, .error = error(r), .control = r.control, .kp_undo = kp_undo(r),
            .integral_undo = integral_undo(r), .previous_undo = previous_undo(r),
            .new_history = r.result[error_history], .rolled = rolled(r) ? r.data[error_history] : nullptr,
            .oldest = rolled(r) ? oldest(r) : nullptr,
        };
    }
    static bool kernel(const R& r) { return kernels::run(pass(r), r.n, r.differentiate); }
    static void undo(const R& r) {
        kernels::undo(pass(r), r.n);
        if (rolled(r)) kernels::unroll_history(r.data[error_history], oldest(r), r.n);
    }
    static void commit(const R& r) {
        const std::size_t row = r.n * sizeof(double);
        if (r.reused[error_history] && !rolled(r)) {  // rolled by one row, the error in row 0; the oldest row goes
            kernels::unaligned_double* history = r.data[error_history];
            std::memmove(history + r.n, history, (kernels::history_rows - 1) * row);
            std::memcpy(history, error(r), row);
        }
        if (r.reused[previous_error] && !previous_in_place(r))
            std::memcpy(r.data[previous_error], error(r), row);  // a copy of the error
    }
};

}  // namespace

int adaptive_init(const ClassSpec& spec, AdaptiveObject* self, PyObject* args, PyObject* kwds) {
    Operation op(spec.traceback.init);
    Ref given[5];
    double learning = default_learning_rate, max_adjust = default_max_adjustment;
    auto convert = [&] {
        if (given[3] && to_double(given[3].get(), &learning) < 0) return -1;
        if (given[4] && to_double(given[4].get(), &max_adjust) < 0) return -1;
        return 0;
    };
    if (steps::bind_gains(op, init_params, args, kwds, spec.ndim, given, convert) < 0) return -1;
    Ref* gains = given;

    // Copies: the caller's arrays and the adapted gain stay independent.
    constexpr AdaptiveFields::Field gain_fields[3] = {kp, ki, kd};
    for (int i = 0; i < 3; ++i) {
        Ref copy = copy_of(gains[i].get());
        if (!copy) return op.fail_status();
        set_field(self, gain_fields[i], std::move(copy));
    }
    // The zero templates are always initial_kp.
    for (auto f : {integral, previous_error}) {
        Ref zeros = numpy::zeros_like_float64(gains[0].get());
        if (!zeros) return op.fail_status();
        set_field(self, f, std::move(zeros));
    }
    {
        Ref zeros = numpy::attr(globals::names.zeros);
        if (!zeros) return op.fail_status();
        // n is initial_kp's own first dimension, not its exported buffer's: a
        // subclass may export a buffer of another shape. It is an ndarray here
        // (None failed at its copy above).
        auto* initial_kp = reinterpret_cast<PyArrayObject*>(gains[0].get());
        if (PyArray_NDIM(initial_kp) < 1) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");  // as initial_kp.shape[0]
            return op.fail_status();
        }
        Ref n = Ref::made(PyLong_FromSsize_t(PyArray_DIM(initial_kp, 0)));
        if (!n) return op.fail_status();
        Ref shape = Ref::made(PyTuple_Pack(2, globals::int10, n.get()));
        if (!shape) return op.fail_status();
        Ref history = Ref::steal(PyObject_CallOneArg(zeros.get(), shape.get()));
        if (!history) return op.fail_status();
        set_field(self, error_history, std::move(history));
    }
    if (set_float_field(self, learning_rate, learning) < 0 || set_float_field(self, max_adjustment, max_adjust) < 0)
        return op.fail_status();
    return 0;
}

namespace {

// The law in NumPy's operations, for every step the fused one does not take
// (not inlined: its frame stays off the fused path)
VESK_NOINLINE PyObject* adaptive_generic(Operation& op, AdaptiveObject* self, const steps::StepArgs& step, int ndim) {
    FloatLocal error(ndim), derivative(ndim);
    if (error.assign(numpy::sub(step.target_position.get(), step.current_position.get())) < 0) return op.fail();

    // The shifted history gets its row 0 before it replaces the field: an
    // error that does not fit the rows leaves the stored history as it was.
    {
        Ref roll = numpy::attr(globals::names.roll);
        if (!roll) return op.fail();
        Ref history = field(self, error_history);
        PyObject* call_args[] = {history.get(), globals::int1, globals::int0};
        Ref rolled = Ref::steal(PyObject_Vectorcall(roll.get(), call_args, 1, globals::kw_shift_axis));
        if (!rolled) return op.fail();
        if (PyObject_SetItem(rolled.get(), globals::int0, error.get()) < 0) return op.fail();
        set_field(self, error_history, std::move(rolled));
    }
    Ref delta_kp;
    {
        Ref mean = numpy::attr(globals::names.mean);
        if (!mean) return op.fail();
        Ref history = field(self, error_history);
        PyObject* call_args[] = {history.get(), globals::int0};
        Ref average = Ref::steal(PyObject_Vectorcall(mean.get(), call_args, 1, globals::kw_axis));
        if (!average) return op.fail();
        Ref rate = field(self, learning_rate);
        Ref scaled = numpy::mul(rate.get(), average.get());
        if (!scaled) return op.fail();
        delta_kp = numpy::mul(scaled.get(), error.get());
        if (!delta_kp) return op.fail();
    }
    {
        Ref clip = numpy::attr(globals::names.clip);
        if (!clip) return op.fail();
        Ref limit = field(self, max_adjustment);
        Ref lower = Ref::steal(PyNumber_Negative(limit.get()));
        if (!lower) return op.fail();
        PyObject* call_args[] = {delta_kp.get(), lower.get(), limit.get()};
        delta_kp = Ref::steal(PyObject_Vectorcall(clip.get(), call_args, 3, nullptr));
        if (!delta_kp) return op.fail();
    }
    {
        Ref gain = field(self, kp);
        gain = numpy::iadd(gain.get(), delta_kp.get());
        if (!gain) return op.fail();
        set_field(self, kp, std::move(gain));
    }
    if (steps::accumulate_integral(self, error.get(), step.dt) < 0) return op.fail();
    if (steps::derivative(derivative, self, error.get(), step.dt) < 0) return op.fail();
    Ref control_signal;
    {
        Ref gain = field(self, kp);
        Ref p_term = numpy::mul(gain.get(), error.get());
        if (!p_term) return op.fail();
        gain = field(self, ki);
        Ref accumulated = field(self, integral);
        Ref i_term = numpy::mul(gain.get(), accumulated.get());
        if (!i_term) return op.fail();
        Ref partial = numpy::add(p_term.get(), i_term.get());
        if (!partial) return op.fail();
        gain = field(self, kd);
        Ref d_term = numpy::mul(gain.get(), derivative.get());
        if (!d_term) return op.fail();
        control_signal = numpy::add(partial.get(), d_term.get());
        if (!control_signal) return op.fail();
    }
    Ref copy = copy_of(error.get());
    if (!copy) return op.fail();
    set_field(self, previous_error, std::move(copy));
    return control_signal.release();
}

}  // namespace

PyObject* adaptive_compute_control(const ClassSpec& spec, AdaptiveObject* self, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames) {
    return steps::compute_control<FusedAdaptive, adaptive_generic>(spec, self, args, nargs, kwnames);
}

}  // namespace vesk
