// Allocation, garbage collection and destruction of controller instances,
// and the layout description that the rest of the machinery reads. All of
// it follows from a layout's field names.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <span>
#include <string_view>

#include "globals.hpp"
#include "instance.hpp"

namespace vesk {

// What the machinery knows of a layout, derived from its field names.
struct Layout {
    std::span<const char* const> names;  // declared order
    std::span<const int> state_order;    // field positions by name, alphabetically: the pickled state
    Py_ssize_t basicsize;
    newfunc allocate;
    traverseproc traverse;
    inquiry clear;
    destructor destroy;
};

namespace lifecycle {

// Controllers alive in the process, and what the module wiring has run when
// the last one is freed (memory kept for their steps given back).
inline std::atomic<Py_ssize_t> live{0};
inline void (*on_last_freed)() noexcept = nullptr;

template <int N>
PyObject* allocate(PyTypeObject* type, PyObject*, PyObject*) {
    // Arguments are ignored: __init__ binds them. An abstract Python subclass
    // is refused by object.__new__ with the interpreter's own message.
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) return PyBaseObject_Type.tp_new(type, globals::empty_tuple, nullptr);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    live.fetch_add(1, std::memory_order_relaxed);
    for (PyObject*& f : static_cast<Record<N>*>(self)->fields) f = Py_NewRef(Py_None);
    return self;
}

template <int N>
int traverse(PyObject* self, visitproc visit, void* arg) {
    for (PyObject* f : static_cast<Record<N>*>(self)->fields) Py_VISIT(f);
    return 0;
}

template <int N>
int clear(PyObject* self) {
    // None goes in before the old value is dropped: the drop may run Python
    // code that reaches this object again.
    for (PyObject*& f : static_cast<Record<N>*>(self)->fields) set_slot(f, Ref::new_ref(Py_None));
    return 0;
}

template <int N>
void destroy(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // A Python subclass runs __del__ through its own dealloc first; only a
    // finalizer on one of our classes themselves is run from here.
    if (type->tp_finalize && type->tp_dealloc == destroy<N> && !PyObject_GC_IsFinalized(self)) {
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    }
    PyObject_GC_UnTrack(self);
    // A long chain of controllers held through their fields is released a
    // piece at a time instead of recursing once per link.
    Py_TRASHCAN_BEGIN(self, destroy<N>)
    for (PyObject*& f : static_cast<Record<N>*>(self)->fields) Py_CLEAR(f);
    type->tp_free(self);
    if (live.fetch_sub(1, std::memory_order_acq_rel) == 1 && on_last_freed) on_last_freed();
    Py_TRASHCAN_END
}

// Field positions sorted by field name.
template <std::size_t N>
constexpr std::array<int, N> alphabetical(const char* const (&names)[N]) {
    std::array<int, N> order{};
    for (std::size_t i = 0; i < N; ++i) order[i] = static_cast<int>(i);
    std::sort(order.begin(), order.end(),
              [&](int a, int b) { return std::string_view(names[a]) < std::string_view(names[b]); });
    return order;
}

template <class Fields>
inline constexpr auto state_order = alphabetical(Fields::names);

}  // namespace lifecycle

template <class Fields>
inline constexpr Layout layout_of = {
    .names = Fields::names,
    .state_order = lifecycle::state_order<Fields>,
    .basicsize = sizeof(Instance<Fields>),
    .allocate = lifecycle::allocate<field_count<Fields>>,
    .traverse = lifecycle::traverse<field_count<Fields>>,
    .clear = lifecycle::clear<field_count<Fields>>,
    .destroy = lifecycle::destroy<field_count<Fields>>,
};

}  // namespace vesk
