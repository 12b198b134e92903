// The class table: one entry per class. Everything else about a class, its
// type object, names, sizes, operation names and function objects, is
// derived from its entry and its law.
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
        c.methods[0] = c.law->compute_control;
        c.methods[1] = reduce_method;
        c.methods[2] = setstate_method;
        c.reconstructor = unpickle_function;
    }
    return prepare_classes(table);
}

}  // namespace vesk
