// The controller classes of the module, and the one place that gives them
// their methods and puts those into the module.
#pragma once

#include "extension/class_spec.hpp"

namespace vesk {

// The class table, in the order the module readies and publishes the classes.
std::span<ClassSpec> controller_classes();

// Gives every class its methods (its law's compute_control and pickling's
// two) and its reconstructor, then derives the rest of its description.
// 0, or -1 with an error set.
int prepare_controller_classes();

// Readies each class in table order, makes it an attribute of `module` and
// moves its native pickling methods to the names pickle looks for.
// 0, or -1 with an error set.
int publish_controller_classes(PyObject* module);

// Binds each class's methods in its dictionary as function objects.
// 0, or -1 with an error set.
int install_controller_methods();

// Makes each class's reconstructor a module-level function of namespace `ns`.
// 0, or -1 with an error set.
int publish_reconstructors(PyObject* ns);

}  // namespace vesk
