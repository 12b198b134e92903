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
