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

// One thread at a time steps or pickles a controller. A step of another
// thread would otherwise update kp and the integral in place while this
// one's kernel, without the GIL, does the same (or NumPy's loops, which
// release it too), and a pickle would copy an integral half updated.
//
// claim() waits, without the GIL, while another thread owns the
// controller; with `own`, it then owns it until the guard goes. A call that
// may release the GIL or run Python code while it updates the controller
// (a large fused step, the generic law, pickling) owns it; a small fused
// step, which does neither, only waits. Nested calls of the owning thread
// (Python code that its generic law runs) go straight through. Waiting
// releases the GIL, so a claim comes before anything is read from the
// controller or its arguments. __init__ and __setstate__ do not claim: they
// replace fields, which a running step holds, and a step stores nothing
// over a reset.
//
// The owners' guards are linked while they own (no allocation; an
// instance's layout stays the header and its fields), and the list is read
// and changed with the GIL held only. It is almost always empty: a claim
// that needs no ownership then costs one test.
class Exclusive {
public:
    explicit Exclusive(PyObject* self) noexcept : self_(self) {}
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    ~Exclusive() {
        if (!owner_) return;
        if (in_use_ == this) {
            in_use_ = next_;
            return;
        }
        unlink();
    }

    void claim(bool own) {
        if (in_use_ || own) claim_slow(own);
    }
    bool owner() const noexcept { return owner_; }

private:
    void claim_slow(bool own);
    void unlink() noexcept;

    static inline Exclusive* in_use_ = nullptr;
    PyObject* self_;
    unsigned long thread_ = 0;
    bool owner_ = false;
    Exclusive* next_ = nullptr;
};

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
