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
    Ref number = Ref::steal(PyFloat_FromDouble(value));
    if (!number) return -1;
    set_field(self, f, std::move(number));
    return 0;
}

// A float field as the fused step reads it: an exact Python float.
bool exact_float(PyObject* value, double* out) {
    if (!PyFloat_CheckExact(value)) return false;
    *out = PyFloat_AS_DOUBLE(value);
    return true;
}

// One step as a single native pass, in the plain case only (fused.hpp):
// every array plain and of the target's length, the history (10, n); the
// learning rate and maximum adjustment exact floats; kp and the integral
// writeable and sharing memory with nothing else the step reads; np.roll,
// np.mean, np.clip (and np.zeros_like when called) NumPy's own. kp and the
// integral are computed into scratch and copied in once the kernel has
// come through clean, so a step sent back to the generic law finds the
// state untouched. The control signal, or nothing (and no error) for the
// generic law.
Ref fused_step(AdaptiveObject* self, int ndim, const steps::StepArgs& step) {
    using fused::Plain;
    Plain target, current, p_gain, i_gain, d_gain, sum, previous, history;
    double rate, bound;
    if (!fused::plain(step.target, ndim, nullptr, target)) return Ref();
    const npy_intp* shape = PyArray_DIMS(reinterpret_cast<PyArrayObject*>(step.target));
    const std::size_t n = target.size;
    const npy_intp history_shape[2] = {static_cast<npy_intp>(kernels::history_rows), shape[0]};
    const bool differentiate = step.dt > 0;
    // The look-ups may run Python code: no field has been read yet.
    if (n == 0 || !fused::numpy_function_is_own(globals::names.roll, fused::own.roll) ||
        !fused::numpy_function_is_own(globals::names.mean, fused::own.mean) ||
        !fused::numpy_function_is_own(globals::names.clip, fused::own.clip) ||
        (!differentiate && !fused::numpy_function_is_own(globals::names.zeros_like, fused::own.zeros_like)))
        return Ref();
    // From here until the results are stored no Python code runs but, for a
    // large step, other threads while the GIL is released.
    const fused::Snapshot<8> state(self->fields);
    // A NaN bound is NumPy's to clip with: the kernel's clip would keep the value.
    if (!fused::plain(step.current, ndim, shape, current) || !fused::plain(state[kp], ndim, shape, p_gain) ||
        !fused::plain(state[ki], ndim, shape, i_gain) || !fused::plain(state[kd], ndim, shape, d_gain) ||
        !fused::plain(state[integral], ndim, shape, sum) ||
        !fused::plain(state[error_history], 2, history_shape, history) ||
        !exact_float(state[learning_rate], &rate) || !exact_float(state[max_adjustment], &bound) || std::isnan(bound) ||
        !fused::writeable(p_gain) || !fused::writeable(sum))
        return Ref();
    const bool have_previous = fused::plain(state[previous_error], ndim, shape, previous);
    if (differentiate && !have_previous) return Ref();
    if (fused::overlap(p_gain, sum)) return Ref();
    for (const Plain* written : {&p_gain, &sum}) {
        for (const Plain* read : {&target, &current, &i_gain, &d_gain, &history})
            if (fused::overlap(*written, *read)) return Ref();
        if (differentiate && fused::overlap(*written, previous)) return Ref();
    }

    // NumPy gives a result the dtype object of its first operand: the
    // rolled history that of the history, the error (and its copy) that of
    // the target, the control signal that of kp.
    auto descr_of = [](const Plain& a) { return PyArray_DESCR(reinterpret_cast<PyArrayObject*>(a.object)); };
    auto data_of = [](const Ref& a) {
        return static_cast<kernels::real*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
    };
    const bool release_gil = n >= fused::release_gil_from;
    // A small step reuses the old history and previous error when nothing but
    // their fields holds them (nothing else can see them change), rolling the
    // history in place once the kernel has come through clean. Otherwise the
    // kernel writes a new history in its one pass (it reads the old rows
    // anyway), and a large step then changes no array but kp and the integral
    // while the GIL is released, as NumPy's in-place additions do.
    const bool reuse_history = !release_gil && fused::reusable(history, descr_of(history));
    const bool reuse_previous = !release_gil && have_previous && fused::reusable(previous, descr_of(target));
    Ref control = fused::new_array(descr_of(p_gain), ndim, shape);
    Ref new_history = reuse_history ? Ref::new_ref(history.object) : fused::new_array(descr_of(history), 2, history_shape);
    Ref new_previous = reuse_previous ? Ref::new_ref(previous.object) : fused::new_array(descr_of(target), ndim, shape);
    fused::Scratch scratch(3 * n);
    if (!control || !new_history || !new_previous || !scratch.get()) {
        PyErr_Clear();  // the generic law meets the same shortage and reports it
        return Ref();
    }
    kernels::real* const new_kp = scratch.get();
    kernels::real* const new_integral = new_kp + n;
    kernels::real* const error = reuse_previous ? new_integral + n : data_of(new_previous);
    const kernels::AdaptiveStep kernel{
        target.data, current.data, p_gain.data, i_gain.data, d_gain.data, sum.data, previous.data, history.data,
        step.dt,     rate,         -bound,      bound,       error,       new_kp,   new_integral,  data_of(control),
        reuse_history ? nullptr : data_of(new_history),
    };
    auto commit = [&] {
        const std::size_t row = n * sizeof(double);
        std::memcpy(p_gain.data, new_kp, row);  // kp and the integral, in place
        std::memcpy(sum.data, new_integral, row);
        if (reuse_history) {  // rolled by one row, the error in row 0; the oldest row goes
            std::memmove(history.data + n, history.data, (kernels::history_rows - 1) * row);
            std::memcpy(history.data, error, row);
        }
        if (reuse_previous) std::memcpy(previous.data, error, row);  // a copy of the error
    };
    if (!fused::run_clean(n, [&] { return kernels::adaptive_step(kernel, n, differentiate); }, commit)) return Ref();
    // A reset by another thread meanwhile wins: the step returns its control
    // signal, as if it had finished just before, and stores nothing over it.
    // The old objects are held by `state`, so neither store frees anything.
    if (state.current(self->fields)) {
        set_field(self, error_history, std::move(new_history));
        set_field(self, previous_error, std::move(new_previous));
    }
    return control;
}

}  // namespace

int adaptive_init(const ClassSpec& spec, AdaptiveObject* self, PyObject* args, PyObject* kwds) {
    const int ndim = spec.ndim;
    Operation op(spec.operation.init);
    Ref bound[5];
    if (bind(init_params, args, kwds, bound) < 0) return op.fail_status();
    double learning = default_learning_rate, max_adjust = default_max_adjustment;
    if (bound[3] && to_double(bound[3].get(), &learning) < 0) return op.fail_status();
    if (bound[4] && to_double(bound[4].get(), &max_adjust) < 0) return op.fail_status();
    Ref* gains = bound;
    for (int i = 0; i < 3; ++i)
        if (check_array_type(gains[i].get(), init_params.names[i]) < 0) return -1;
    for (int i = 0; i < 3; ++i)
        if (op.hold(gains[i].get(), ndim) < 0) return op.fail_status();

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
        Ref n = Ref::steal(PyLong_FromSsize_t(PyArray_DIM(initial_kp, 0)));
        if (!n) return op.fail_status();
        Ref shape = Ref::steal(PyTuple_Pack(2, globals::int10, n.get()));
        if (!shape) return op.fail_status();
        Ref history = Ref::steal(PyObject_CallOneArg(zeros.get(), shape.get()));
        if (!history) return op.fail_status();
        set_field(self, error_history, std::move(history));
    }
    if (set_float_field(self, learning_rate, learning) < 0 || set_float_field(self, max_adjustment, max_adjust) < 0)
        return op.fail_status();
    return 0;
}

PyObject* adaptive_compute_control(const ClassSpec& spec, AdaptiveObject* self, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames) {
    const int ndim = spec.ndim;
    steps::StepArgs step;
    if (steps::bind_step(spec.operation.compute_control, args, nargs, kwnames, step) < 0) return nullptr;
    if (Ref control = fused_step(self, ndim, step)) return control.release();
    Operation op(spec.operation.compute_control);
    if (steps::hold_positions(op, ndim, step) < 0) return nullptr;

    FloatLocal error(ndim), derivative(ndim);
    if (error.assign(numpy::sub(step.target, step.current)) < 0) return op.fail();

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
        Ref bound_value = field(self, max_adjustment);
        Ref lower = Ref::steal(PyNumber_Negative(bound_value.get()));
        if (!lower) return op.fail();
        PyObject* call_args[] = {delta_kp.get(), lower.get(), bound_value.get()};
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
        Ref sum = field(self, integral);
        Ref i_term = numpy::mul(gain.get(), sum.get());
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

}  // namespace vesk
