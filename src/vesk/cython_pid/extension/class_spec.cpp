// The class descriptions made into interpreter types: names, slots, the
// native method table and the function objects, all derived from the
// class table entries.
#include "class_spec.hpp"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "concurrency.hpp"

namespace vesk {

namespace {

std::span<ClassSpec> registered;

const ClassSpec* class_of(PyTypeObject* type) {
    for (const ClassSpec& c : registered)
        if (&c.type == type) return &c;
    return nullptr;
}

// The class whose layout an instance has: its own class or the controller
// class a Python subclass derives from.
const ClassSpec* class_of_instance(PyObject* self) {
    for (PyTypeObject* t = Py_TYPE(self); t; t = t->tp_base)
        if (const ClassSpec* c = class_of(t)) return c;
    return nullptr;
}

int unknown_class() {
    PyErr_SetString(PyExc_SystemError, "vesk.cython_pid: object of no controller class");
    return -1;
}

// Every entry point holds the instance for its whole run: a caller may only
// lend it (a functools.partial of a bound method can drop the method while
// Python code that the entry point runs replaces the partial's state).
int init_slot(PyObject* self, PyObject* args, PyObject* kwds) {
    const ClassSpec* c = class_of_instance(self);
    if (!c) return unknown_class();
    const Ref held = Ref::new_ref(self);
    concurrency::RecursionGuard depth;
    if (depth.enter() < 0) return -1;
    return c->law->init(*c, self, args, kwds);
}

// The native methods receive the class that defines them (METH_METHOD).
template <Method M>
PyObject* native_method(PyObject* self, PyTypeObject* defining, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
    const ClassSpec* c = class_of(defining);
    if (!c) return unknown_class(), nullptr;
    const Ref held = Ref::new_ref(self);
    concurrency::RecursionGuard depth;
    if (depth.enter() < 0) return nullptr;
    return c->methods[M].entry(*c, self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

// One native entry per method, at index(Method).
template <std::size_t... I>
constexpr PerMethod<PyCMethod> native_methods_of(std::index_sequence<I...>) {
    return {{native_method<static_cast<Method>(I)>...}};
}
constexpr PerMethod<PyCMethod> native_methods = native_methods_of(std::make_index_sequence<method_count>{});

// Where the traceback entry name of a method's operation is kept.
Name* operation_name(ClassSpec& c, Method m) {
    switch (m) {
        case Method::compute_control: return &c.traceback.compute_control;
        case Method::reduce: return &c.traceback.reduce_cython;
        case Method::setstate: return &c.traceback.setstate_cython;
        case Method::count: break;
    }
    return nullptr;
}

// Formats a name derived from class `c` into its room. 0, or -1 with
// SystemError when it does not fit. (The format check is GCC's and clang's;
// MSVC would warn about the attribute.)
#if defined(__GNUC__)
[[gnu::format(printf, 3, 4)]]
#endif
int compose(const ClassSpec& c, Name& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(out, sizeof out, format, args);
    va_end(args);
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof out) return 0;
    PyErr_Format(PyExc_SystemError, "vesk.cython_pid: the class name '%.200s' is too long", c.name);
    return -1;
}

int derive_names(ClassSpec& c) {
    constexpr const char* module = "vesk.cython_pid";
    if (compose(c, c.type_name, "%s.%s", module, c.name) < 0 ||
        compose(c, c.reconstructor_name, "__pyx_unpickle_%s", c.name) < 0 ||
        compose(c, c.traceback.init, "%s.%s.__init__", module, c.name) < 0 ||
        compose(c, c.traceback.unpickle, "%s.%s", module, c.reconstructor_name) < 0 ||
        compose(c, c.traceback.unpickle_set_state, "%s.%s__set_state", module, c.reconstructor_name) < 0)
        return -1;
    for (Method m : all_methods) {
        if (compose(c, c.qualnames[m], "%s.%s", c.name, c.methods[m].name) < 0 ||
            compose(c, *operation_name(c, m), "%s.%s.%s", module, c.name, c.methods[m].name) < 0)
            return -1;
    }
    return 0;
}

int prepare(ClassSpec& c) {
    PyTypeObject* t = &c.type;
    // Writing tp_flags again would drop READY, and a second PyType_Ready
    // would add wrappers for the slots inherited the first time.
    if (t->tp_flags & Py_TPFLAGS_READY) return 0;
    if (derive_names(c) < 0) return -1;

    const Layout& layout = *c.law->layout;
    t->tp_name = c.type_name;
    t->tp_basicsize = layout.basicsize;
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t->tp_new = layout.allocate;
    t->tp_traverse = layout.traverse;
    t->tp_clear = layout.clear;
    t->tp_dealloc = layout.destroy;
    t->tp_init = init_slot;

    // The native method table; pickling set-up moves the two pickling
    // entries to __reduce__ / __setstate__, and module initialisation then
    // binds function objects under all three names.
    for (Method m : all_methods) {
        const MethodSpec& method = c.methods[m];
        c.method_table[index(m)] = {method.name,
                                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_methods[m])),
                                    METH_METHOD | METH_FASTCALL | METH_KEYWORDS, nullptr};
        c.functions[m] = {method.name, c.qualnames[m], method.varnames, method.argcount, t, &c, method.entry};
    }
    c.method_table[method_count] = {nullptr, nullptr, 0, nullptr};
    t->tp_methods = c.method_table;

    const MethodSpec& r = c.reconstructor;
    c.reconstructor_function = {c.reconstructor_name, c.reconstructor_name, r.varnames, r.argcount, nullptr, &c, r.entry};
    if (r.argcount > max_params || static_cast<std::size_t>(r.argcount) > r.varnames.size()) {
        PyErr_SetString(PyExc_SystemError, "vesk.cython_pid: too many reconstructor parameters");
        return -1;
    }
    ParamList& params = c.reconstructor_params;
    params.function = c.reconstructor_name;
    params.count = params.required = r.argcount;
    for (int i = 0; i < r.argcount; ++i) params.names[i] = r.varnames[i];
    return 0;
}

}  // namespace

int prepare_classes(std::span<ClassSpec> classes) {
    registered = classes;
    for (ClassSpec& c : classes)
        if (prepare(c) < 0) return -1;
    return 0;
}

}  // namespace vesk
