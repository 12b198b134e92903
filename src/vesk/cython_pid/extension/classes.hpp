// The three controller classes as data: one table per class drives
// allocation, garbage collection, pickling and module initialisation.
#pragma once

#include "ref.hpp"

namespace vesk {

inline constexpr int max_fields = 8;

// A controller instance: the object header and its fields, every one a
// strong reference (at least None once allocated). A class uses the first
// `ClassSpec::nfields` slots; its basic size stops there.
struct Controller {
    PyObject_HEAD
    PyObject* fields[max_fields];
};

// Field positions in declared order. The PID classes stop after
// previous_error.
enum Field : int {
    kp = 0,
    ki,
    kd,
    integral,
    previous_error,
    error_history,
    max_adjustment,
    learning_rate,
};

enum ClassId : int { pid_1d = 0, pid_2d = 1, adaptive = 2, class_count = 3 };

struct ClassSpec {
    const char* name;                // short name, also the module attribute
    PyTypeObject* type;              // the class object (process lifetime)
    int ndim;                        // dimensions of its float arrays
    int nfields;                     // fields in declared order
    const char* const* field_names;  // declared order
    const int* state_order;          // pickled state: the field of each element (alphabetical)
    long checksums[3];               // accepted layout checksums; the first one is written
    const char* checksum_message;    // "%x" template of the PickleError
    const char* reconstructor;       // module-level reconstructor's name
    // Operation names, used by the traceback entries.
    const char* op_init;
    const char* op_compute;
    const char* op_reduce;
    const char* op_setstate;
    const char* op_unpickle;
    const char* op_set_state;
    // The class's own code.
    initproc init;
    PyCFunctionFastWithKeywords compute_control;
    PyCFunctionFastWithKeywords reduce;
    PyCFunctionFastWithKeywords setstate;
    PyCFunctionFastWithKeywords unpickle;
};

const ClassSpec& class_spec(ClassId id);

inline Controller* as_controller(PyObject* self) { return reinterpret_cast<Controller*>(self); }

// A new reference to a field's current object: the caller keeps it alive
// even if Python code run meanwhile replaces the field.
inline Ref field(PyObject* self, Field f) { return Ref::new_ref(as_controller(self)->fields[f]); }
inline void set_field(PyObject* self, Field f, Ref value) {
    set_slot(as_controller(self)->fields[f], std::move(value));
}

// Prepares the class objects from their tables (slots, sizes, methods);
// PyType_Ready is left to module initialisation, which readies them in order.
void prepare_types();

}  // namespace vesk
