// The class table: one entry per class. Everything else about a class, its
// type object, names, sizes, operation names and function objects, is
// derived from its entry and its law.
#include "classes.hpp"

#include "controllers/controllers.hpp"
#include "persistence/pickle.hpp"

namespace vesk {

namespace {

ClassSpec table[] = {
    {.name = "PIDController", .ndim = 1, .law = &pid_law, .checksums = {0x32b920e, 0xb0bfbfa, 0xa7b7f25}},
    {.name = "PIDControllerXd", .ndim = 2, .law = &pid_law, .checksums = {0x32b920e, 0xb0bfbfa, 0xa7b7f25}},
    {.name = "AdaptiveController", .ndim = 1, .law = &adaptive_law, .checksums = {0xb141bc4, 0xb4ff99b, 0x7e19bd2}},
};

}  // namespace

std::span<ClassSpec> controller_classes() { return table; }

int prepare_controller_classes() {
    for (ClassSpec& c : table) {
        c.methods[0] = c.law->compute_control;
        c.methods[1] = reduce_method;
        c.methods[2] = setstate_method;
        c.reconstructor = unpickle_function;
    }
    return prepare_classes(table);
}

}  // namespace vesk
