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
#include "extension/convert.hpp"
#include "extension/operation.hpp"
#include "fused.hpp"
#include "numpy_calls.hpp"
#include "steps.hpp"

namespace vesk {

using enum PidFields::Field;

namespace {

ParamList init_params{"__init__", {"kp", "ki", "kd"}, 3, 3};

// The fused step of the law (fused.hpp): one native pass in the plain case.
// The pass updates the integral in place, its old values logged into scratch
// and put back if the kernel did not come through clean, so a step sent back
// to the generic law finds the state untouched.
struct FusedPid {
    using Fields = PidFields;
    enum Operand { target, current, kp, ki, kd, integral, previous_error };
    static constexpr fused::OperandSpec operands[] = {  // in the order of Operand
        {.source = fused::target_position, .role = fused::Role::read},
        {.source = fused::current_position, .role = fused::Role::read},
        {.source = PidFields::kp, .role = fused::Role::read},
        {.source = PidFields::ki, .role = fused::Role::read},
        {.source = PidFields::kd, .role = fused::Role::read},
        {.source = PidFields::integral, .role = fused::Role::updated},
        // The step's error itself becomes the previous error.
        {.source = PidFields::previous_error, .role = fused::Role::replaced, .when = fused::When::differentiating,
         .result_like = target},
    };
    static_assert(std::size(operands) == previous_error + 1, "one row per operand, in the enum's order");
    static constexpr fused::NumpyCall numpy_calls[] = {{fused::NumpyFunction::zeros_like, fused::Called::unless_differentiating}};
    static constexpr int control_like = kp;  // u = Kp*e + ...: kp's dtype object
    using ndims = std::integer_sequence<int, 1, 2>;  // PIDController, PIDControllerXd
    using R = fused::Resolved<FusedPid>;

    static bool accepts(const R&) { return true; }
    // Scratch: the undo log of the integral, and of a reused previous error,
    // which the pass overwrites with the error.
    static std::size_t scratch_size(const R& r) { return (1 + r.reused[previous_error]) * r.n; }
    static kernels::PidStep pass(const R& r) {
        const bool reused = r.reused[previous_error];
        return {
            .target = r.data[target], .current = r.data[current], .kp = r.data[kp], .ki = r.data[ki],
            .kd = r.data[kd], .previous = r.data[previous_error], .integral = r.data[integral], .dt = r.dt,
            .error = reused ? r.data[previous_error] : r.result[previous_error], .control = r.control,
            .integral_undo = r.scratch, .previous_undo = reused ? r.scratch + r.n : nullptr,
        };
    }
    static bool kernel(const R& r) { return kernels::run(pass(r), r.n, r.differentiate); }
    static void undo(const R& r) { kernels::undo(pass(r), r.n); }
    static void commit(const R&) {}  // the pass wrote everything in place
};

}  // namespace

int pid_init(const ClassSpec& spec, PidObject* self, PyObject* args, PyObject* kwds) {
    Operation op(spec.traceback.init);
    Ref gains[3];
    if (steps::bind_gains(op, init_params, args, kwds, spec.ndim, gains, [] { return 0; }) < 0) return -1;

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

namespace {

// The law in NumPy's operations, for every step the fused one does not take
// (not inlined: its frame stays off the fused path)
VESK_NOINLINE PyObject* pid_generic(Operation& op, PidObject* self, const steps::StepArgs& step, int ndim) {
    FloatLocal error(ndim), p_term(ndim), i_term(ndim), derivative(ndim), d_term(ndim), control_signal(ndim);
    if (error.assign(numpy::sub(step.target_position.get(), step.current_position.get())) < 0) return op.fail();
    // Fields are read when used and held while used: NumPy may run Python
    // code that replaces them meanwhile.
    {
        Ref gain = field(self, kp);
        if (p_term.assign(numpy::mul(gain.get(), error.get())) < 0) return op.fail();
    }
    if (steps::accumulate_integral(self, error.get(), step.dt) < 0) return op.fail();
    {
        Ref gain = field(self, ki);
        Ref accumulated = field(self, integral);
        if (i_term.assign(numpy::mul(gain.get(), accumulated.get())) < 0) return op.fail();
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

}  // namespace

PyObject* pid_compute_control(const ClassSpec& spec, PidObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return steps::compute_control<FusedPid, pid_generic>(spec, self, args, nargs, kwnames);
}

}  // namespace vesk
