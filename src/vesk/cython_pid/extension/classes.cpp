// The per-class tables. Everything that differs between the three classes
// is here; the code that reads these tables is shared.
#include "classes.hpp"

#include "controllers/controllers.hpp"
#include "persistence/pickle.hpp"

namespace vesk {

namespace {

// Slots are filled in by prepare_types(), from the tables below.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject pid_1d_type = {PyVarObject_HEAD_INIT(nullptr, 0) "vesk.cython_pid.PIDController"};
PyTypeObject pid_2d_type = {PyVarObject_HEAD_INIT(nullptr, 0) "vesk.cython_pid.PIDControllerXd"};
PyTypeObject adaptive_type = {PyVarObject_HEAD_INIT(nullptr, 0) "vesk.cython_pid.AdaptiveController"};
#pragma GCC diagnostic pop

constexpr const char* pid_fields[] = {"kp", "ki", "kd", "integral", "previous_error"};
constexpr const char* adaptive_fields[] = {"kp", "ki", "kd", "integral", "previous_error",
                                           "error_history", "max_adjustment", "learning_rate"};

// Pickled state order: field names sorted alphabetically. Stored pickles
// depend on it.
constexpr int pid_state[] = {integral, kd, ki, kp, previous_error};
constexpr int adaptive_state[] = {error_history, integral, kd, ki, kp, learning_rate, max_adjustment,
                                  previous_error};

// The two PID classes share one layout: one checksum triple, one message.
constexpr const char* pid_checksum_message =
    "Incompatible checksums (0x%x vs (0x32b920e, 0xb0bfbfa, 0xa7b7f25) = (integral, kd, ki, kp, previous_error))";

const ClassSpec specs[class_count] = {
    {
        .name = "PIDController",
        .type = &pid_1d_type,
        .ndim = 1,
        .nfields = 5,
        .field_names = pid_fields,
        .state_order = pid_state,
        .checksums = {0x32b920e, 0xb0bfbfa, 0xa7b7f25},
        .checksum_message = pid_checksum_message,
        .reconstructor = "__pyx_unpickle_PIDController",
        .op_init = "vesk.cython_pid.PIDController.__init__",
        .op_compute = "vesk.cython_pid.PIDController.compute_control",
        .op_reduce = "vesk.cython_pid.PIDController.__reduce_cython__",
        .op_setstate = "vesk.cython_pid.PIDController.__setstate_cython__",
        .op_unpickle = "vesk.cython_pid.__pyx_unpickle_PIDController",
        .op_set_state = "vesk.cython_pid.__pyx_unpickle_PIDController__set_state",
        .init = pid_init<pid_1d>,
        .compute_control = pid_compute_control<pid_1d>,
        .reduce = reduce_cython<pid_1d>,
        .setstate = setstate_cython<pid_1d>,
        .unpickle = unpickle<pid_1d>,
    },
    {
        .name = "PIDControllerXd",
        .type = &pid_2d_type,
        .ndim = 2,
        .nfields = 5,
        .field_names = pid_fields,
        .state_order = pid_state,
        .checksums = {0x32b920e, 0xb0bfbfa, 0xa7b7f25},
        .checksum_message = pid_checksum_message,
        .reconstructor = "__pyx_unpickle_PIDControllerXd",
        .op_init = "vesk.cython_pid.PIDControllerXd.__init__",
        .op_compute = "vesk.cython_pid.PIDControllerXd.compute_control",
        .op_reduce = "vesk.cython_pid.PIDControllerXd.__reduce_cython__",
        .op_setstate = "vesk.cython_pid.PIDControllerXd.__setstate_cython__",
        .op_unpickle = "vesk.cython_pid.__pyx_unpickle_PIDControllerXd",
        .op_set_state = "vesk.cython_pid.__pyx_unpickle_PIDControllerXd__set_state",
        .init = pid_init<pid_2d>,
        .compute_control = pid_compute_control<pid_2d>,
        .reduce = reduce_cython<pid_2d>,
        .setstate = setstate_cython<pid_2d>,
        .unpickle = unpickle<pid_2d>,
    },
    {
        .name = "AdaptiveController",
        .type = &adaptive_type,
        .ndim = 1,
        .nfields = 8,
        .field_names = adaptive_fields,
        .state_order = adaptive_state,
        .checksums = {0xb141bc4, 0xb4ff99b, 0x7e19bd2},
        .checksum_message = "Incompatible checksums (0x%x vs (0xb141bc4, 0xb4ff99b, 0x7e19bd2) = "
                            "(error_history, integral, kd, ki, kp, learning_rate, max_adjustment, "
                            "previous_error))",
        .reconstructor = "__pyx_unpickle_AdaptiveController",
        .op_init = "vesk.cython_pid.AdaptiveController.__init__",
        .op_compute = "vesk.cython_pid.AdaptiveController.compute_control",
        .op_reduce = "vesk.cython_pid.AdaptiveController.__reduce_cython__",
        .op_setstate = "vesk.cython_pid.AdaptiveController.__setstate_cython__",
        .op_unpickle = "vesk.cython_pid.__pyx_unpickle_AdaptiveController",
        .op_set_state = "vesk.cython_pid.__pyx_unpickle_AdaptiveController__set_state",
        .init = adaptive_init,
        .compute_control = adaptive_compute_control,
        .reduce = reduce_cython<adaptive>,
        .setstate = setstate_cython<adaptive>,
        .unpickle = unpickle<adaptive>,
    },
};

}  // namespace

const ClassSpec& class_spec(ClassId id) { return specs[id]; }

}  // namespace vesk
