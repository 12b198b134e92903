// The control laws: __init__ and compute_control of each class.
#pragma once

#include "extension/classes.hpp"

namespace vesk {

// PIDController (1-D) and PIDControllerXd (2-D) share one implementation.
template <ClassId C>
int pid_init(PyObject* self, PyObject* args, PyObject* kwds);
template <ClassId C>
PyObject* pid_compute_control(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

int adaptive_init(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* adaptive_compute_control(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vesk
