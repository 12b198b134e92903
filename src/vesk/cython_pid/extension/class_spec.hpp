// A controller class as data: the entry of the class table that the module
// builds it from, and what is derived from that entry at initialisation.
// The machinery reads these descriptions and knows no particular class.
#pragma once

#include <array>
#include <cstddef>

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

// The methods of every controller class. Their order is that of the class's
// native method table, and every per-method array of a ClassSpec is indexed
// by this enum alone.
enum class Method { compute_control, reduce, setstate, count };
inline constexpr std::size_t method_count = static_cast<std::size_t>(Method::count);
constexpr std::size_t index(Method m) noexcept { return static_cast<std::size_t>(m); }

// Every method, in that order.
inline constexpr std::array<Method, method_count> all_methods = [] {
    std::array<Method, method_count> all{};
    for (std::size_t i = 0; i < method_count; ++i) all[i] = static_cast<Method>(i);
    return all;
}();

// One element per method, reached by its Method.
template <class T>
struct PerMethod {
    T items[method_count]{};
    T& operator[](Method m) noexcept { return items[index(m)]; }
    const T& operator[](Method m) const noexcept { return items[index(m)]; }
    T* begin() noexcept { return items; }
    T* end() noexcept { return items + method_count; }
    const T* begin() const noexcept { return items; }
    const T* end() const noexcept { return items + method_count; }
};

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

    // ---- Set by the module wiring (classes.cpp) before prepare_classes().
    PerMethod<MethodSpec> methods{};  // what each method is called and runs
    MethodSpec reconstructor{};       // the module-level function that unpickling calls (its name is derived)

    // ---- Derived by prepare_classes().
    mutable PyTypeObject type = blank_type;  // the interpreter's to change once ready
    Name type_name{};           // "vesk.cython_pid.PIDController"
    Name reconstructor_name{};  // "__pyx_unpickle_PIDController"
    PerMethod<Name> qualnames{};  // "PIDController.compute_control", ...
    struct {                    // traceback entries, "vesk.cython_pid.PIDController.__init__" ...
        Name init, compute_control, reduce_cython, setstate_cython;
        Name unpickle, unpickle_set_state;  // "vesk.cython_pid.__pyx_unpickle_PIDController[__set_state]"
    } traceback{};
    PyMethodDef method_table[method_count + 1]{};  // the native methods, at index(Method), then the end marker
    PerMethod<FunctionSpec> functions{};           // the function objects
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
