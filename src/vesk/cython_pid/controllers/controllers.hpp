// The control laws: the fields each keeps, and __init__ and compute_control.
#pragma once

#include "extension/class_spec.hpp"

namespace vesk {

// PIDController (1-D) and PIDControllerXd (2-D) share one law and layout.
struct PidFields {
    enum Field : int { kp, ki, kd, integral, previous_error };
    static constexpr const char* names[] = {"kp", "ki", "kd", "integral", "previous_error"};
    static_assert(std::size(names) == previous_error + 1);
};
using PidObject = Instance<PidFields>;

int pid_init(const ClassSpec& spec, PidObject* self, PyObject* args, PyObject* kwds);
PyObject* pid_compute_control(const ClassSpec& spec, PidObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

inline constexpr const char* pid_compute_varnames[] = {
    "self", "target_position", "current_position", "dt", "error", "p_term", "i_term", "derivative", "d_term",
    "control_signal"};
inline constexpr Law pid_law = make_law<PidFields, pid_init, pid_compute_control>(pid_compute_varnames);

struct AdaptiveFields {
    enum Field : int { kp, ki, kd, integral, previous_error, error_history, max_adjustment, learning_rate };
    static constexpr const char* names[] = {"kp",           "ki",           "kd",
                                            "integral",     "previous_error", "error_history",
                                            "max_adjustment", "learning_rate"};
    static_assert(std::size(names) == learning_rate + 1);
};
using AdaptiveObject = Instance<AdaptiveFields>;

int adaptive_init(const ClassSpec& spec, AdaptiveObject* self, PyObject* args, PyObject* kwds);
PyObject* adaptive_compute_control(const ClassSpec& spec, AdaptiveObject* self, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char* adaptive_compute_varnames[] = {
    "self", "target_position", "current_position", "dt", "error", "derivative", "delta_kp", "control_signal"};
inline constexpr Law adaptive_law =
    make_law<AdaptiveFields, adaptive_init, adaptive_compute_control>(adaptive_compute_varnames);

}  // namespace vesk
