// Steps that the PID law and the adaptive law take alike.
#pragma once

#include "extension/binding.hpp"
#include "extension/buffer.hpp"
#include "extension/instance.hpp"
#include "extension/operation.hpp"
#include "numpy_calls.hpp"

namespace vesk::steps {

inline ParamList compute_params{"compute_control", {"target_position", "current_position", "dt"}, 3, 3};

// The step's own references to the positions: a caller only lends them (a
// functools.partial may drop its stored arguments while Python code runs),
// and the step may run such code or release the GIL.
struct StepArgs {
    Ref target_ref, current_ref;
    PyObject* target = nullptr;   // target_ref.get()
    PyObject* current = nullptr;  // current_ref.get()
    double dt = 0.0;
};

// The prologue of every compute_control: binding, dt as a double, then the
// ndarray type tests (which add no traceback entry). No buffer is held yet,
// so the operation's scope is opened only for a failure's traceback entry:
// a fused step never needs one. 0, or -1 with the error set.
inline int bind_step(const char* operation, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     StepArgs& out) {
    Ref bound[3];
    if (bind(compute_params, args, nargs, kwnames, bound) < 0) return Operation(operation).fail_status();
    out.target_ref = std::move(bound[0]);
    out.current_ref = std::move(bound[1]);
    out.target = out.target_ref.get();
    out.current = out.current_ref.get();
    // dt's conversion may run Python code (its __float__): binding holds what it hands out.
    if (to_double(bound[2].get(), &out.dt) < 0) return Operation(operation).fail_status();
    if (check_array_type(out.target, "target_position") < 0 || check_array_type(out.current, "current_position") < 0)
        return -1;
    return 0;
}

// The position buffers, checked and held by `op` until the step returns.
// A fused step skips this: it takes only arrays whose check cannot fail
// and whose holding has no effect. 0, or -1 with the error set.
inline int hold_positions(Operation& op, int ndim, const StepArgs& step) {
    if (op.hold(step.target, ndim) < 0 || op.hold(step.current, ndim) < 0) return op.fail_status();
    return 0;
}

// integral += error * dt, the result stored back (the same array for an
// ndarray, updated in place). 0, or -1 with the error set.
template <class Fields>
int accumulate_integral(Instance<Fields>* self, PyObject* error, double dt) {
    Ref increment = numpy::mul_float(error, dt);
    if (!increment) return -1;
    Ref sum = field(self, Fields::integral);
    sum = numpy::iadd(sum.get(), increment.get());
    if (!sum) return -1;
    set_field(self, Fields::integral, std::move(sum));
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
