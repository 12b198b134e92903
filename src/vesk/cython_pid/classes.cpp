// The class table: one entry per class. Everything else about a class, its
// type object, names, sizes, operation names and function objects, is
// derived from its entry and its law.
//
// This is also the one place that gives each class its methods, one per
// Method, and puts the classes, their methods and their reconstructors into
// the module; module.cpp calls these steps in its own order.
#include "classes.hpp"

#include "controllers/controllers.hpp"
#include "persistence/pickle.hpp"

namespace vesk {

namespace {

// The checksums of the stored format come from the field names alone: the
// names in alphabetical order joined by single spaces, hashed with SHA-256,
// SHA-1 and MD5, each hash's first seven hex digits (in that order; the
// first is the one a reduce writes). A layout with other fields gets other
// checksums, and so a stored state of it is refused.
ClassSpec table[] = {
    {.name = "PIDController", .ndim = 1, .law = &pid_law, .checksums = {0x32b920e, 0xb0bfbfa, 0xa7b7f25}},
    {.name = "PIDControllerXd", .ndim = 2, .law = &pid_law, .checksums = {0x32b920e, 0xb0bfbfa, 0xa7b7f25}},
    {.name = "AdaptiveController", .ndim = 1, .law = &adaptive_law, .checksums = {0xb141bc4, 0xb4ff99b, 0x7e19bd2}},
};

}  // namespace

std::span<ClassSpec> controller_classes() { return table; }

int prepare_controller_classes() {
    for (ClassSpec& c : table) {
        c.methods[Method::compute_control] = c.law->compute_control;
        c.methods[Method::reduce] = reduce_method;
        c.methods[Method::setstate] = setstate_method;
        c.reconstructor = unpickle_function;
    }
    return prepare_classes(table);
}

int publish_controller_classes(PyObject* module) {
    for (ClassSpec& c : table) {
        if (PyType_Ready(&c.type) < 0) return -1;
        if (PyObject_SetAttrString(module, c.name, reinterpret_cast<PyObject*>(&c.type)) < 0) return -1;
        if (setup_pickling(c) < 0) return -1;
    }
    return 0;
}

int install_controller_methods() {
    for (ClassSpec& c : table) {
        Ref dict = Ref::steal(PyType_GetDict(&c.type));
        if (!dict) return -1;
        for (const FunctionSpec& spec : c.functions) {
            Ref function = make_function(spec);
            if (!function || PyDict_SetItemString(dict.get(), spec.name, function.get()) < 0) return -1;
            PyType_Modified(&c.type);
        }
    }
    return 0;
}

int publish_reconstructors(PyObject* ns) {
    for (const ClassSpec& c : table) {
        Ref function = make_function(c.reconstructor_function);
        if (!function || PyDict_SetItemString(ns, c.reconstructor_function.name, function.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace vesk
