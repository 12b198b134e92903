// Steps that the PID law and the adaptive law take alike.
#pragma once

#include "extension/binding.hpp"
#include "extension/buffer.hpp"
#include "extension/convert.hpp"
#include "extension/instance.hpp"
#include "extension/operation.hpp"
#include "fused.hpp"
#include "numpy_calls.hpp"

namespace vesk::steps {

inline ParamList compute_params{"compute_control", {"target_position", "current_position", "dt"}, 3, 3};

// The step's own references to the positions: a caller only lends them (a
// functools.partial may drop its stored arguments while Python code runs),
// and the step may run such code or release the GIL.
struct StepArgs {
    Ref target_position, current_position;
    double dt = 0.0;
};

// The prologue of every compute_control: binding, dt as a double, then the
// ndarray type tests (which add no traceback entry). No buffer is held yet,
// so the operation's scope is opened only for a failure's traceback entry:
// a fused step never needs one. 0, or -1 with the error set.
inline int bind_step(const char* operation, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     StepArgs& out) {
    Ref given[3];
    if (bind(compute_params, args, nargs, kwnames, given) < 0) return Operation(operation).fail_status();
    out.target_position = std::move(given[0]);
    out.current_position = std::move(given[1]);
    // dt's conversion may run Python code (its __float__): binding holds what it hands out.
    if (to_double(given[2].get(), &out.dt) < 0) return Operation(operation).fail_status();
    if (check_array_type(out.target_position.get(), "target_position") < 0 ||
        check_array_type(out.current_position.get(), "current_position") < 0)
        return -1;
    return 0;
}

// The position buffers, checked and exported to `op` until the step returns.
// A fused step skips this: it takes only arrays whose check cannot fail
// and whose export has no effect. 0, or -1 with the error set.
inline int export_positions(Operation& op, int ndim, const StepArgs& step) {
    if (op.export_buffer(step.target_position.get(), ndim) < 0 ||
        op.export_buffer(step.current_position.get(), ndim) < 0) return op.fail_status();
    return 0;
}

// __init__'s prologue: binding; then `convert`, the class's own conversions
// of what it was given besides the gains (they may run Python code, and
// their errors come first); then the three gains, given[0..2], each
// checked to be an ndarray and exported as a float array of `ndim`
// dimensions, in that order. 0, or -1 with the error set.
template <class Convert>
int bind_gains(Operation& op, ParamList& params, PyObject* args, PyObject* kwds, int ndim, Ref* given,
               Convert&& convert) {
    if (bind(params, args, kwds, given) < 0 || convert() < 0) return op.fail_status();
    for (int i = 0; i < 3; ++i)
        if (check_array_type(given[i].get(), params.names[i]) < 0) return -1;
    for (int i = 0; i < 3; ++i)
        if (op.export_buffer(given[i].get(), ndim) < 0) return op.fail_status();
    return 0;
}

// compute_control of every class: binding, then the law's fused step
// (fused.hpp) where it applies, else the law's generic step, `Generic`,
// once no kernel of another thread updates the arrays (a signal handler
// may raise while the step waits) and with the positions exported.
// `Fused::ndims` lists the dimensions its fused step is built for.
template <class Fused, PyObject* (*Generic)(Operation& op, Instance<typename Fused::Fields>* self,
                                            const StepArgs& step, int ndim)>
PyObject* compute_control(const ClassSpec& spec, Instance<typename Fused::Fields>* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
    const int ndim = spec.ndim;
    StepArgs step;
    if (bind_step(spec.traceback.compute_control, args, nargs, kwnames, step) < 0) return nullptr;
    PyObject* const target = step.target_position.get();
    PyObject* const current = step.current_position.get();
    Ref control;
    [&]<int... N>(std::integer_sequence<int, N...>) {
        (void)((ndim == N && (control = fused::step<Fused, N>(self, target, current, step.dt), true)) || ...);
    }(typename Fused::ndims{});
    if (control) return control.release();
    if (PyErr_Occurred() || concurrency::wait_idle(self) < 0) return nullptr;
    Operation op(spec.traceback.compute_control);
    if (export_positions(op, ndim, step) < 0) return nullptr;
    return Generic(op, self, step, ndim);
}

// integral += error * dt, the result stored back (the same array for an
// ndarray, updated in place). 0, or -1 with the error set.
template <class Fields>
int accumulate_integral(Instance<Fields>* self, PyObject* error, double dt) {
    Ref increment = numpy::mul_float(error, dt);
    if (!increment) return -1;
    Ref accumulated = field(self, Fields::integral);
    accumulated = numpy::iadd(accumulated.get(), increment.get());
    if (!accumulated) return -1;
    set_field(self, Fields::integral, std::move(accumulated));
    return 0;
}

// derivative = (error - previous_error) / dt for dt > 0; zeros shaped like
// the error when dt is zero, negative or NaN.
template <class Fields>
int derivative(FloatLocal& out, Instance<Fields>* self, PyObject* error, double dt) {
    if (!(dt > 0)) return out.assign(numpy::zeros_like(error));
    Ref previous = field(self, Fields::previous_error);
    Ref difference = numpy::sub(error, previous.get());
    if (!difference) return -1;
    return out.assign(numpy::div_float(difference.get(), dt));
}

}  // namespace vesk::steps
