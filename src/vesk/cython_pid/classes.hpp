// The controller classes of the module.
#pragma once

#include "extension/class_spec.hpp"

namespace vesk {

// The class table, in the order the module readies and publishes the classes.
std::span<ClassSpec> controller_classes();

// Gives every class its methods (its law's compute_control and pickling's
// two) and its reconstructor, then derives the rest of its description.
// 0, or -1 with an error set.
int prepare_controller_classes();

}  // namespace vesk
