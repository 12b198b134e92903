// Controller instances and their fields.
#pragma once

#include <iterator>

#include "ref.hpp"

namespace vesk {

// An instance: the object header, then N fields, each a strong reference
// (at least None once allocated). Its size is the class's basic size.
template <int N>
struct Record : PyObject {
    PyObject* fields[N];
};

// Where the fields start, for the code that handles every class alike.
inline constexpr std::size_t fields_offset = sizeof(PyObject);
static_assert(sizeof(Record<3>) == fields_offset + 3 * sizeof(PyObject*), "fields follow the header unpadded");

inline PyObject** fields_of(PyObject* self) noexcept {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + fields_offset);
}

// A layout is a struct with `names`, the field names in declared order, and
// an enum `Field` naming each position. Instance<Fields> is an instance seen
// with that layout; its fields are reached through that enum only, so a
// field of another layout (or a bare number) does not compile.
template <class Fields>
inline constexpr int field_count = static_cast<int>(std::size(Fields::names));

template <class Fields>
struct Instance : Record<field_count<Fields>> {};

// Every read and store of a field holds the instance's own lock, so that a
// store in another thread cannot free what a read is taking a reference to
// when there is no GIL (with the GIL the lock is nothing). An old value is
// dropped after the lock is left: its destructor may run Python code.
inline Ref read_slot(PyObject* self, PyObject* const& slot) {
    (void)self;  // with the GIL, the lock is nothing
    Ref value;
    Py_BEGIN_CRITICAL_SECTION(self);
    value = Ref::new_ref(slot);
    Py_END_CRITICAL_SECTION();
    return value;
}
inline void store_slot(PyObject* self, PyObject*& slot, Ref value) {
    (void)self;
    PyObject* old;
    Py_BEGIN_CRITICAL_SECTION(self);
    old = slot;
    slot = value.release();
    Py_END_CRITICAL_SECTION();
    Py_XDECREF(old);
}

// A new reference to a field's current object: the caller keeps it alive
// even if Python code run meanwhile replaces the field.
template <class Fields>
Ref field(Instance<Fields>* self, typename Fields::Field f) {
    return read_slot(self, self->fields[f]);
}

// Replaces a field, new value in before the old one is dropped.
template <class Fields>
void set_field(Instance<Fields>* self, typename Fields::Field f, Ref value) {
    store_slot(self, self->fields[f], std::move(value));
}

}  // namespace vesk
