// Process-wide state of the module: one module object per process, kept
// from a successful initialisation until the process ends.
#pragma once

#include "ref.hpp"

namespace vesk::globals {

inline PyObject* module = nullptr;       // set by a successful (or running) exec step
inline PyObject* module_dict = nullptr;  // the module's namespace
inline PyObject* builtins = nullptr;     // the builtins module
inline PyTypeObject* ndarray_type = nullptr;

// Interned names, created once by the exec step.
struct Names {
    PyObject *np, *numpy, *zeros_like, *float64, *zeros, *roll, *mean, *clip, *copy;
    PyObject *dtype, *shift, *axis, *update, *dict, *new_, *pickle, *PickleError;
    PyObject *reduce, *reduce_ex, *getstate, *setstate, *reduce_cython, *setstate_cython;
    PyObject *name, *spec, *initializing, *test, *module;
};
inline Names names{};

// Small constants and the keyword-name tuples of the NumPy calls.
inline PyObject* int0 = nullptr;
inline PyObject* int1 = nullptr;
inline PyObject* int10 = nullptr;
inline PyObject* kw_dtype = nullptr;       // ("dtype",)
inline PyObject* kw_shift_axis = nullptr;  // ("shift", "axis")
inline PyObject* kw_axis = nullptr;        // ("axis",)
inline PyObject* empty_tuple = nullptr;

// A class reached from a module whose initialisation failed before the
// ndarray type was resolved: refuse instead of crashing. Returns -1.
inline int not_initialised() {
    PyErr_SetString(PyExc_RuntimeError, "vesk.cython_pid is not initialised");
    return -1;
}

// Creates the names and constants above (idempotent). 0, or -1 with an error set.
int create_constants();

// Looks a module-level name up at the moment of use: the module namespace
// first, then the builtins. NameError "name '...' is not defined" when
// neither has it. Nothing is cached, so rebinding a name takes effect at once.
Ref lookup(PyObject* name);

}  // namespace vesk::globals
