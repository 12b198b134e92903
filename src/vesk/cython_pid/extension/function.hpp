// The module's function objects: methods that bind to an instance like
// Python functions do, and module-level functions.
#pragma once

#include <span>

#include "ref.hpp"

namespace vesk {

struct ClassSpec;

// The code of a method or a module-level function of a class: it receives
// the class's description, the instance (null for a module-level function)
// and the call as vectorcall passes it.
using MethodEntry = PyObject* (*)(const ClassSpec& cls, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

struct FunctionSpec {
    const char* name;                        // __name__
    const char* qualname;                    // __qualname__
    std::span<const char* const> varnames;   // parameters, then locals (the code object's co_varnames)
    int argcount;                            // parameters among varnames (self included)
    PyTypeObject* owner;                     // the class of a method; null for a module-level function
    const ClassSpec* cls;                    // handed to impl
    MethodEntry impl;
};

int function_type_ready();
Ref make_function(const FunctionSpec& spec);

}  // namespace vesk
