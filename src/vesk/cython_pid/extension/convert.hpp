// Conversions of parameters declared as native numbers, and the type test of
// parameters declared as float arrays. Each raises what a typed parameter of
// a Python-facing function raises when the argument does not fit.
#pragma once

#include "ref.hpp"

namespace vesk {

// A double from a Python object: a float exactly is read directly, anything
// else goes through the interpreter's float conversion. 0, or -1 with the
// conversion's error set.
int to_double(PyObject* value, double* out);

// A native long: an int gives its value; any other object goes through its
// type's __int__ (not __index__). 0, or -1 with an error set.
int to_long(PyObject* value, long* out);

// A float array parameter accepts None or an ndarray (subclasses included).
// TypeError "Argument ... has incorrect type" otherwise.
int check_array_type(PyObject* value, const char* param);

}  // namespace vesk
