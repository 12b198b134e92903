// The module's function objects: methods that bind to an instance like
// Python functions do, and module-level functions.
#pragma once

#include "ref.hpp"

namespace vesk {

struct FunctionSpec {
    const char* name;                 // __name__
    const char* qualname;             // __qualname__
    const char* const* varnames;      // parameters, then locals (the code object's co_varnames)
    int nvarnames;
    int argcount;                     // parameters among varnames (self included)
    PyTypeObject* owner;              // the class of a method; null for a module-level function
    PyCFunctionFastWithKeywords impl; // receives the instance (null for module functions)
};

int function_type_ready();
Ref make_function(const FunctionSpec& spec);

}  // namespace vesk
