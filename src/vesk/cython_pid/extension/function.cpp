#include "function.hpp"

#include <structmember.h>

#include "concurrency.hpp"
#include "globals.hpp"

namespace vesk {

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* code;
};

Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

PyObject* call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const FunctionSpec& spec = *as_function(self)->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    concurrency::RecursionGuard depth;  // counted as the law's Python function would be
    if (depth.enter() < 0) return nullptr;
    if (!spec.owner) return spec.impl(*spec.cls, nullptr, args, nargs, kwnames);
    // Called through the class: the instance comes first.
    if (nargs == 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", spec.name, "needs an argument");
        return nullptr;
    }
    if (!PyObject_TypeCheck(args[0], spec.owner)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%.200s' for '%.200s' objects doesn't apply to a '%.200s' object",
                     spec.name, spec.owner->tp_name, Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    // Held for the whole call: a bound method lends its instance, and code the
    // call runs may drop the method (a functools.partial's state replaced).
    const Ref instance = Ref::new_ref(args[0]);
    return spec.impl(*spec.cls, instance.get(), args + 1, nargs - 1, kwnames);
}

// Read from the class, a function is itself; read from an instance, a bound method.
PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

void dealloc(PyObject* self) {
    Function* f = as_function(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->code);
    Py_TYPE(self)->tp_free(self);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<cython_pid function %U at %p>", as_function(self)->qualname, self);
}

// Pickled by reference: the module attribute named by the qualified name.
PyObject* reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// No docstring, no defaults: the standard signature introspection reads the
// parameters from __code__.
PyGetSetDef getset[] = {
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0) "vesk.cython_pid.function"};
#pragma GCC diagnostic pop

// The introspection record: an empty code object whose co_varnames lists
// the parameters and then the locals.
Ref make_code(const FunctionSpec& spec) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("vesk/cython_pid", spec.name, 1)));
    if (!code) return Ref();
    const auto nvarnames = static_cast<Py_ssize_t>(spec.varnames.size());
    Ref varnames = Ref::steal(PyTuple_New(nvarnames));
    if (!varnames) return Ref();
    for (Py_ssize_t i = 0; i < nvarnames; ++i) {
        PyObject* name = PyUnicode_InternFromString(spec.varnames[i]);
        if (!name) return Ref();
        PyTuple_SET_ITEM(varnames.get(), i, name);
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    Ref argcount = Ref::steal(PyLong_FromLong(spec.argcount));
    Ref nlocals = Ref::steal(PyLong_FromSsize_t(nvarnames));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!replace || !qualname || !argcount || !nlocals || !kwargs) return Ref();
    if (PyDict_SetItemString(kwargs.get(), "co_argcount", argcount.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_nlocals", nlocals.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_varnames", varnames.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_qualname", qualname.get()) < 0)
        return Ref();
    return Ref::steal(PyObject_Call(replace.get(), globals::empty_tuple, kwargs.get()));
}

}  // namespace

int function_type_ready() {
    PyTypeObject* t = &function_type;
    if (t->tp_flags & Py_TPFLAGS_READY) return 0;
    t->tp_basicsize = sizeof(Function);
    // METHOD_DESCRIPTOR lets `obj.method(...)` call without a bound method.
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t->tp_vectorcall_offset = offsetof(Function, vectorcall);
    t->tp_call = PyVectorcall_Call;
    t->tp_descr_get = descr_get;
    t->tp_dealloc = dealloc;
    t->tp_repr = repr;
    t->tp_members = members;
    t->tp_getset = getset;
    t->tp_methods = methods;
    return PyType_Ready(t);
}

Ref make_function(const FunctionSpec& spec) {
    Ref code = make_code(spec);
    if (!code) return Ref();
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_New(Function, &function_type)));
    if (!self) return Ref();
    Function* f = as_function(self.get());
    f->vectorcall = call;
    f->spec = &spec;
    f->name = PyUnicode_InternFromString(spec.name);
    f->qualname = PyUnicode_FromString(spec.qualname);
    f->module = PyUnicode_FromString("vesk.cython_pid");
    f->code = code.release();
    if (!f->name || !f->qualname || !f->module) return Ref();
    return self;
}

}  // namespace vesk
