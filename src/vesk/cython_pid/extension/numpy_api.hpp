// NumPy's C interface: one function table for the whole module, filled in
// by module initialisation (the one file that defines VESK_IMPORT_NUMPY).
#pragma once

#include "ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL vesk_cython_pid_ARRAY_API
#ifndef VESK_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
