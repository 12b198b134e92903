// A controller class as data: the entry of the class table that the module
// builds it from, and what is derived from that entry at initialisation.
// The machinery reads these descriptions and knows no particular class.
#pragma once

#include "binding.hpp"
#include "function.hpp"
#include "lifecycle.hpp"

namespace vesk {

using InitEntry = int (*)(const ClassSpec& cls, PyObject* self, PyObject* args, PyObject* kwds);

// A method of every instance, or a class's module-level reconstructor: its
// name, its code, and the names its code object lists (the parameters first,
// self included for a method).
struct MethodSpec {
    const char* name;
    MethodEntry entry;
    std::span<const char* const> varnames;
    int argcount;
};

// What a control law gives the classes that use it: the layout of their
// fields, __init__ and compute_control.
struct Law {
    const Layout* layout;
    InitEntry init;
    MethodSpec compute_control;
};

// The law whose entry points see instances with the layout `Fields`.
// `compute_varnames`: self, the three parameters, then the locals.
template <class Fields, int (*Init)(const ClassSpec&, Instance<Fields>*, PyObject*, PyObject*),
          PyObject* (*Compute)(const ClassSpec&, Instance<Fields>*, PyObject* const*, Py_ssize_t, PyObject*)>
constexpr Law make_law(std::span<const char* const> compute_varnames) {
    return {
        .layout = &layout_of<Fields>,
        .init = [](const ClassSpec& cls, PyObject* self, PyObject* args, PyObject* kwds) {
            return Init(cls, static_cast<Instance<Fields>*>(self), args, kwds);
        },
        .compute_control = {"compute_control",
                            [](const ClassSpec& cls, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
                                return Compute(cls, static_cast<Instance<Fields>*>(self), args, nargs, kwnames);
                            },
                            compute_varnames, 4},
    };
}

// Names derived from the class name; room for a class name of some 60 characters, checked.
inline constexpr std::size_t name_room = 128;
using Name = char[name_room];

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"  // the type's slots are set by prepare_classes()
inline constexpr PyTypeObject blank_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

struct ClassSpec {
    // ---- The class table entry: what makes the class.
    const char* name;    // short name, also the module attribute
    int ndim;            // dimensions of its float arrays
    const Law* law;      // its fields and its code
    long checksums[3];   // accepted layout checksums; the first one is written

    // ---- Set by the module wiring before prepare_classes().
    MethodSpec methods[3]{};     // compute_control, __reduce_cython__, __setstate_cython__, in this order
    MethodSpec reconstructor{};  // the module-level function that unpickling calls (its name is derived)

    // ---- Derived by prepare_classes().
    mutable PyTypeObject type = blank_type;  // the interpreter's to change once ready
    Name type_name{};           // "vesk.cython_pid.PIDController"
    Name reconstructor_name{};  // "__pyx_unpickle_PIDController"
    Name qualnames[3]{};        // "PIDController.compute_control", ... as `methods`
    struct {                    // traceback entries, "vesk.cython_pid.PIDController.__init__" ...
        Name init, compute_control, reduce_cython, setstate_cython;
        Name unpickle, unpickle_set_state;  // "vesk.cython_pid.__pyx_unpickle_PIDController[__set_state]"
    } traceback{};
    PyMethodDef method_table[4]{};        // the native methods, as `methods`
    FunctionSpec functions[3]{};          // the function objects, as `methods`
    FunctionSpec reconstructor_function{};
    mutable ParamList reconstructor_params{};  // its parameters (names interned on first use)

    int nfields() const noexcept { return static_cast<int>(law->layout->names.size()); }
};

// Derives everything above from the entries, once per class: a retry after
// a failed import finds the classes ready and leaves them as they are.
// Readying the types is left to module initialisation, in table order.
// 0, or -1 with an error set.
int prepare_classes(std::span<ClassSpec> classes);

}  // namespace vesk
