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

// A new reference to a field's current object: the caller keeps it alive
// even if Python code run meanwhile replaces the field.
template <class Fields>
Ref field(Instance<Fields>* self, typename Fields::Field f) {
    return Ref::new_ref(self->fields[f]);
}

// Replaces a field, new value in before the old one is dropped.
template <class Fields>
void set_field(Instance<Fields>* self, typename Fields::Field f, Ref value) {
    set_slot(self->fields[f], std::move(value));
}

}  // namespace vesk
