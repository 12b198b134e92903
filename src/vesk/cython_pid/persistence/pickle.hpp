// Pickling: reduce value, set-state, the module-level reconstructors and the
// set-up that exposes them under the names pickle looks for.
#pragma once

#include "extension/classes.hpp"

namespace vesk {

template <ClassId C>
PyObject* reduce_cython(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <ClassId C>
PyObject* setstate_cython(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <ClassId C>
PyObject* unpickle(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Moves the class's native __reduce_cython__ / __setstate_cython__ entries to
// __reduce__ / __setstate__ (unless the class defines its own pickling).
int setup_pickling(const ClassSpec& spec);

// The accepted checksums of a class as a tuple of ints, built at initialisation.
int create_checksum_tuples();

}  // namespace vesk
