// Pickling: reduce value, set-state, the module-level reconstructors and the
// set-up that exposes them under the names pickle looks for. One
// implementation for every class, driven by its description.
#pragma once

#include "extension/class_spec.hpp"

namespace vesk {

PyObject* reduce_cython(const ClassSpec& cls, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* setstate_cython(const ClassSpec& cls, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* unpickle(const ClassSpec& cls, PyObject* unused, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames);

inline constexpr const char* reduce_varnames[] = {"self", "state", "_dict", "use_setstate"};
inline constexpr const char* setstate_varnames[] = {"self", "__pyx_state"};
inline constexpr const char* unpickle_varnames[] = {"__pyx_type", "__pyx_checksum", "__pyx_state",
                                                    "__pyx_PickleError", "__pyx_result"};

inline constexpr MethodSpec reduce_method{"__reduce_cython__", reduce_cython, reduce_varnames, 1};
inline constexpr MethodSpec setstate_method{"__setstate_cython__", setstate_cython, setstate_varnames, 2};
// Named after its class ("__pyx_unpickle_PIDController"), which prepare_classes() derives.
inline constexpr MethodSpec unpickle_function{nullptr, unpickle, unpickle_varnames, 3};

// Moves the class's native __reduce_cython__ / __setstate_cython__ entries to
// __reduce__ / __setstate__ (unless the class defines its own pickling).
int setup_pickling(const ClassSpec& cls);

}  // namespace vesk
