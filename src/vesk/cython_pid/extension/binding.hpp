// Binding of call arguments to a callable's fixed parameter list.
#pragma once

#include "ref.hpp"

namespace vesk {

inline constexpr int max_params = 5;

// One parameter list per callable. Every parameter may be given by position
// or by keyword; the first `required` ones must be given.
struct ParamList {
    const char* function;  // bare name, as messages show it: "compute_control"
    const char* names[max_params];
    int count;
    int required;
    PyObject* interned[max_params] = {};  // created on first use, kept for the process
};

// Binding runs no Python code, and what it hands out is held: a caller may
// only lend its arguments (a functools.partial's stored ones), and whatever
// the callee runs next (a __float__, a look-up, a deallocation) may drop the
// lender's references. Keyword names are matched as the interpreter matches
// them, by identity and then by exact comparison of the text: a str
// subclass's __eq__ is never called.

// Binds a vectorcall-style call (positional arguments, then the values of the
// keyword names in `kwnames`). `out` receives new references, null for an
// optional parameter left unbound. 0, or -1 with TypeError set.
int bind(ParamList& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Ref* out);

// Binds a tuple of positional arguments and a keyword dict (may be null), as
// tp_init receives them, into new references.
int bind(ParamList& params, PyObject* args, PyObject* kwds, Ref* out);

}  // namespace vesk
