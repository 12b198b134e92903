// The PID law, one implementation for PIDController (1-D arrays) and
// PIDControllerXd (2-D arrays): the classes differ only in the number of
// dimensions their float arrays must have.
//
//   e = r - y;  I += e*dt;  D = (e - e_prev)/dt if dt > 0 else 0
//   u = (Kp*e + Ki*I) + Kd*D;  e_prev = e
//
// All arithmetic is NumPy's, through the interpreter's number protocol, in
// exactly this order and with these operand orders: results must match the
// same expressions written in Python bit for bit.
#include "controllers.hpp"
#include "extension/binding.hpp"
#include "extension/operation.hpp"
#include "numpy_calls.hpp"
#include "steps.hpp"

namespace vesk {

using enum PidFields::Field;

namespace {
ParamList init_params{"__init__", {"kp", "ki", "kd"}, 3, 3};
}  // namespace

int pid_init(const ClassSpec& spec, PidObject* self, PyObject* args, PyObject* kwds) {
    Operation op(spec.operation.init);
    Ref gains[3];
    if (bind(init_params, args, kwds, gains) < 0) return op.fail_status();
    for (int i = 0; i < 3; ++i)
        if (check_array_type(gains[i].get(), init_params.names[i]) < 0) return -1;
    for (int i = 0; i < 3; ++i)
        if (op.hold(gains[i].get(), spec.ndim) < 0) return op.fail_status();

    // The caller's gain arrays themselves are kept: no copy.
    set_field(self, kp, std::move(gains[0]));
    set_field(self, ki, std::move(gains[1]));
    set_field(self, kd, std::move(gains[2]));
    Ref gain = field(self, kp);
    Ref zeros = numpy::zeros_like_float64(gain.get());
    if (!zeros) return op.fail_status();
    set_field(self, integral, std::move(zeros));
    zeros = numpy::zeros_like_float64(gain.get());
    if (!zeros) return op.fail_status();
    set_field(self, previous_error, std::move(zeros));
    return 0;
}

PyObject* pid_compute_control(const ClassSpec& spec, PidObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    const int ndim = spec.ndim;
    Operation op(spec.operation.compute_control);
    steps::StepArgs step;
    if (steps::bind_step(op, spec.ndim, args, nargs, kwnames, step) < 0) return nullptr;

    FloatLocal error(ndim), p_term(ndim), i_term(ndim), derivative(ndim), d_term(ndim), control_signal(ndim);
    if (error.assign(numpy::sub(step.target, step.current)) < 0) return op.fail();
    // Fields are read when used and held while used: NumPy may run Python
    // code that replaces them meanwhile.
    {
        Ref gain = field(self, kp);
        if (p_term.assign(numpy::mul(gain.get(), error.get())) < 0) return op.fail();
    }
    if (steps::accumulate_integral(self, error.get(), step.dt) < 0) return op.fail();
    {
        Ref gain = field(self, ki);
        Ref sum = field(self, integral);
        if (i_term.assign(numpy::mul(gain.get(), sum.get())) < 0) return op.fail();
    }
    if (steps::derivative(derivative, self, error.get(), step.dt) < 0) return op.fail();
    {
        Ref gain = field(self, kd);
        if (d_term.assign(numpy::mul(gain.get(), derivative.get())) < 0) return op.fail();
    }
    set_field(self, previous_error, Ref::new_ref(error.get()));  // the step's error itself, no copy
    Ref partial = numpy::add(p_term.get(), i_term.get());
    if (!partial) return op.fail();
    if (control_signal.assign(numpy::add(partial.get(), d_term.get())) < 0) return op.fail();
    return Ref::new_ref(control_signal.get()).release();
}

}  // namespace vesk
