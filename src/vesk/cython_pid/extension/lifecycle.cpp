// Allocation, garbage collection and destruction of controller instances,
// one implementation for the three classes, driven by their field counts.
#include "classes.hpp"
#include "globals.hpp"

namespace vesk {

namespace {

template <int N>
PyObject* allocate(PyTypeObject* type, PyObject*, PyObject*) {
    // Arguments are ignored: __init__ binds them. An abstract Python subclass
    // is refused by object.__new__ with the interpreter's own message.
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)
        return PyBaseObject_Type.tp_new(type, globals::empty_tuple, nullptr);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    for (int i = 0; i < N; ++i) as_controller(self)->fields[i] = Py_NewRef(Py_None);
    return self;
}

template <int N>
int traverse(PyObject* self, visitproc visit, void* arg) {
    for (int i = 0; i < N; ++i) Py_VISIT(as_controller(self)->fields[i]);
    return 0;
}

template <int N>
int clear(PyObject* self) {
    // None goes in before the old value is dropped: the drop may run Python
    // code that reaches this object again.
    for (int i = 0; i < N; ++i) set_slot(as_controller(self)->fields[i], Ref::new_ref(Py_None));
    return 0;
}

template <int N>
void destroy(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // A Python subclass runs __del__ through its own dealloc first; only a
    // finalizer on one of our classes themselves is run from here.
    if (type->tp_finalize && type->tp_dealloc == destroy<N> && !PyObject_GC_IsFinalized(self)) {
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    }
    PyObject_GC_UnTrack(self);
    // A long chain of controllers held through their fields is released a
    // piece at a time instead of recursing once per link.
    Py_TRASHCAN_BEGIN(self, destroy<N>)
    for (int i = 0; i < N; ++i) Py_CLEAR(as_controller(self)->fields[i]);
    type->tp_free(self);
    Py_TRASHCAN_END
}

PyMethodDef methods[class_count][4];

template <int N>
void prepare(ClassId id) {
    const ClassSpec& spec = class_spec(id);
    PyTypeObject* t = spec.type;
    // A retry after a failed import finds the classes ready: they are left as
    // they are. Writing tp_flags again would drop READY, and a second
    // PyType_Ready would add wrappers for the slots inherited the first time.
    if (t->tp_flags & Py_TPFLAGS_READY) return;
    t->tp_basicsize = static_cast<Py_ssize_t>(offsetof(Controller, fields) + N * sizeof(PyObject*));
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t->tp_new = allocate<N>;
    t->tp_traverse = traverse<N>;
    t->tp_clear = clear<N>;
    t->tp_dealloc = destroy<N>;
    t->tp_init = spec.init;
    // The native method table; pickling set-up moves the two pickling
    // entries to __reduce__ / __setstate__, and module initialisation then
    // binds function objects under all three names.
    constexpr int flags = METH_FASTCALL | METH_KEYWORDS;
    PyMethodDef* m = methods[id];
    m[0] = {"compute_control", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spec.compute_control)), flags, nullptr};
    m[1] = {"__reduce_cython__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spec.reduce)), flags, nullptr};
    m[2] = {"__setstate_cython__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spec.setstate)), flags, nullptr};
    m[3] = {nullptr, nullptr, 0, nullptr};
    t->tp_methods = m;
}

}  // namespace

void prepare_types() {
    prepare<5>(pid_1d);
    prepare<5>(pid_2d);
    prepare<8>(adaptive);
}

}  // namespace vesk
