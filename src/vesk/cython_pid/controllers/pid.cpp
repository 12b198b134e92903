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
#include "fused.hpp"
#include "numpy_calls.hpp"
#include "steps.hpp"

namespace vesk {

using enum PidFields::Field;

namespace {

ParamList init_params{"__init__", {"kp", "ki", "kd"}, 3, 3};

// One step as a single native pass, in the plain case only (fused.hpp):
// every array plain and of the target's shape; the integral writeable and
// sharing memory with nothing it is computed from; np.zeros_like NumPy's
// own when the step would call it. The integral gets e*dt added in place
// once the kernel has come through clean, so a step sent back to the
// generic law finds the state untouched.
// The control signal, or nothing (and no error) for the generic law.
// The number of dimensions is a template argument: the tests of up to eight
// arrays a step then unroll.
template <int ndim>
Ref fused_step(PidObject* self, const steps::StepArgs& step) {
    using fused::Plain;
    Plain target, current, p_gain, i_gain, d_gain, sum, previous;
    if (!fused::plain(step.target, ndim, nullptr, target)) return Ref();
    const npy_intp* shape = PyArray_DIMS(reinterpret_cast<PyArrayObject*>(step.target));
    const std::size_t n = target.size;
    const bool differentiate = step.dt > 0;
    // The look-up may run Python code: no field has been read yet.
    if (n == 0 || (!differentiate && !fused::numpy_function_is_own(globals::names.zeros_like, fused::own.zeros_like)))
        return Ref();
    // From here until the results are stored no Python code runs but, for a
    // large step, other threads while the GIL is released.
    const fused::Snapshot<5> state(self->fields);
    if (!fused::plain(step.current, ndim, shape, current) || !fused::plain(state[kp], ndim, shape, p_gain) ||
        !fused::plain(state[ki], ndim, shape, i_gain) || !fused::plain(state[kd], ndim, shape, d_gain) ||
        !fused::plain(state[integral], ndim, shape, sum) || !fused::writeable(sum))
        return Ref();
    const bool have_previous = fused::plain(state[previous_error], ndim, shape, previous);
    if (differentiate && !have_previous) return Ref();
    for (const Plain* read : {&target, &current, &p_gain, &i_gain, &d_gain})
        if (fused::overlap(sum, *read)) return Ref();
    if (differentiate && fused::overlap(sum, previous)) return Ref();

    // NumPy gives a result the dtype object of its first operand: the
    // error that of the target, the control signal that of kp.
    PyArray_Descr* error_descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(target.object));
    const bool release_gil = n >= fused::release_gil_from;
    const bool reuse = !release_gil && have_previous && fused::reusable(previous, error_descr);
    // New exact ndarrays: no __array_finalize__, no Python code.
    Ref control = fused::new_array(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(p_gain.object)), ndim, shape);
    Ref error = reuse ? Ref::new_ref(previous.object) : fused::new_array(error_descr, ndim, shape);
    fused::Scratch scratch(reuse ? n : 0);  // the error, while the old one is still read
    if (!control || !error || !scratch.get()) {
        PyErr_Clear();  // the generic law meets the same shortage and reports it
        return Ref();
    }
    auto data_of = [](PyObject* a) { return static_cast<kernels::real*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a))); };
    kernels::real* const error_data = reuse ? scratch.get() : data_of(error.get());
    const kernels::PidStep kernel{
        target.data, current.data, p_gain.data, i_gain.data, d_gain.data, sum.data,
        previous.data, step.dt, error_data, data_of(control.get()),
    };
    auto commit = [&] {  // the integral, in place; the reused array gets the error
        kernels::accumulate(sum.data, error_data, step.dt, reuse ? previous.data : nullptr, n);
    };
    if (!fused::run_clean(n, [&] { return kernels::pid_step(kernel, n, differentiate); }, commit)) return Ref();
    // A reset by another thread meanwhile wins: the step returns its control
    // signal, as if it had finished just before, and stores nothing over it.
    if (state.current(self->fields)) set_field(self, previous_error, std::move(error));  // the step's error itself
    return control;
}

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
    steps::StepArgs step;
    if (steps::bind_step(spec.operation.compute_control, args, nargs, kwnames, step) < 0) return nullptr;
    if (Ref control = ndim == 1 ? fused_step<1>(self, step) : ndim == 2 ? fused_step<2>(self, step) : Ref())
        return control.release();
    Operation op(spec.operation.compute_control);
    if (steps::hold_positions(op, ndim, step) < 0) return nullptr;

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
