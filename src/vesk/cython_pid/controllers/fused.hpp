// The fused step: one native pass over a law's arrays in the case where it is
// known to give exactly what the law's NumPy operations give. Every law runs
// it through the one pipeline below, driven by the law's operand table; the
// law contributes that table, its kernel, its commit and its undo, nothing
// else.
//
// The plain case: every array an exact ndarray of native float64 without
// metadata and C-contiguous (at any address), all of the target's shape (the
// history: ten rows of it); nothing written in place shares memory with
// anything read; `np` and the NumPy functions the law would call still
// NumPy's own. Anything else goes to the generic law, unchanged.
//
// The pipeline, in an order no law can change:
//   1. every look-up that may run Python code (a namespace key's __eq__),
//      then, if another thread's kernel owns this controller, the wait for
//      it and step 1 again (whatever was decided before a wait is decided
//      anew after it); a large step then owns the controller;
//   2. hold every field (the positions are held by binding);
//   3. derive data pointers, sizes, dtypes and flags from the held objects,
//      and check them against the table: nothing read before step 1 is
//      trusted after it;
//   4. the kernel, with the GIL released for a large step (it updates the
//      `updated` operands in place, logging their old values into scratch),
//      then the commit (what a reused array gets) only if no NaN came out and
//      no flag rose, else the undo of everything the kernel changed in place;
//   5. store the replaced fields only if every field is still the object read.
// Between 2 and 5 no Python code runs in this thread; another thread may run
// while the GIL is released, but its calls on this controller wait for the
// kernel (concurrency.hpp) and what it replaces is held by the snapshot.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>

#include "extension/concurrency.hpp"
#include "extension/globals.hpp"
#include "extension/instance.hpp"
#include "extension/instance_lock.hpp"
#include "extension/numpy_api.hpp"
#include "kernels.hpp"

namespace vesk::fused {

// From this many elements the kernel runs with the GIL released, as
// NumPy's own loops do (every operand is held meanwhile), unless the law
// sets its own `release_gil_from`. Such a step cannot write a replaced
// array in place (another thread could take it from the controller
// meanwhile): it writes into a spare array instead.
inline constexpr std::size_t release_gil_from = 4096;

template <class Fused>
constexpr std::size_t release_gil_from_of() {
    if constexpr (requires { Fused::release_gil_from; }) return Fused::release_gil_from;
    else return release_gil_from;
}

// ---- the operand table -----------------------------------------------------

// Where an operand comes from: a position argument or a field of the controller.
inline constexpr int target_position = -1, current_position = -2;

enum class Role : std::uint8_t {
    read,      // read only
    updated,   // updated in place by the kernel, undone from its log: shares memory with nothing read
    replaced,  // read (see When), then replaced by a new array the step makes
    number,    // a float field, read as a double: an exact Python float
};
enum class When : std::uint8_t { always, differentiating };  // when the kernel reads the operand
enum class Rows : std::uint8_t { step, history };           // the target's shape, or ten rows of it

struct OperandSpec {
    int source;  // target_position, current_position or a field
    Role role;
    When when = When::always;
    Rows rows = Rows::step;
    // replaced: the operand whose dtype object the new array gets. The rule:
    // NumPy gives a result the dtype object of the first operand of the
    // operation that makes it, so name the array the law's expression for
    // this field starts from (e = r - y: the target; np.roll(history): the
    // history). A wrong row shows in the fused-against-law test, which
    // compares which arrays share one dtype object.
    int result_like = 0;
};

// The NumPy functions a law may call, a bit each in the masks below.
enum class NumpyFunction : std::uint8_t { zeros_like, roll, mean, clip };
inline constexpr unsigned numpy_function_count = 4;

// When the law calls a NumPy function: at every step, or only at a step that
// does not differentiate (dt <= 0: np.zeros_like gives the derivative).
enum class Called : std::uint8_t { always, unless_differentiating };

// A NumPy function the law calls, which must still be NumPy's own.
struct NumpyCall {
    NumpyFunction function;
    Called when;
};

// ---- arrays as the kernels see them ---------------------------------------

// A kernel operand: the array (held by the step), its data and its element count.
struct KernelArray {
    PyObject* object;
    kernels::unaligned_double* data;
    std::size_t size;
};

// The checks of a step's operands run for every step: inlined, they unroll
// into the step's code.
#if defined(__GNUC__)
#define VESK_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define VESK_ALWAYS_INLINE inline
#endif


// NumPy's functions and float64 dtype as they were at import (a null
// function: not NumPy's own then).
struct ImportedNumpy {
    PyObject* module;
    PyObject* functions[numpy_function_count];  // by NumpyFunction
    PyArray_Descr* float64;
};
inline ImportedNumpy imported{};

// A float64 dtype other than NumPy's shared one (a restored pickle's, say):
// native byte order and no metadata, which NumPy may carry into results.
bool native_float64(PyArray_Descr* descr);

// `object` is an exact, C-contiguous ndarray of native float64 without
// metadata, of `ndim` dimensions and, when `shape` is given, of that shape.
// Its data may lie at any address: the kernels load and store unaligned.
VESK_ALWAYS_INLINE bool kernel_array(PyObject* object, int ndim, const npy_intp* shape, KernelArray& out) {
    if (Py_TYPE(object) != globals::ndarray_type) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != ndim || !(PyArray_FLAGS(array) & NPY_ARRAY_C_CONTIGUOUS)) return false;
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (descr != imported.float64 && !native_float64(descr)) return false;
    npy_intp size = 1;
    for (int i = 0; i < ndim; ++i) {
        if (shape && PyArray_DIMS(array)[i] != shape[i]) return false;
        size *= PyArray_DIMS(array)[i];
    }
    out = {object, static_cast<kernels::unaligned_double*>(PyArray_DATA(array)), static_cast<std::size_t>(size)};
    return true;
}

// The arrays share memory. C-contiguous: each occupies `size` doubles from
// its data pointer on; the pointers of unrelated arrays compare as addresses.
VESK_ALWAYS_INLINE bool overlap(const KernelArray& a, const KernelArray& b) {
    const auto a0 = reinterpret_cast<std::uintptr_t>(a.data), b0 = reinterpret_cast<std::uintptr_t>(b.data);
    return a0 < b0 + b.size * sizeof(double) && b0 < a0 + a.size * sizeof(double);
}

inline bool writeable(const KernelArray& a) {
    auto* array = reinterpret_cast<PyArrayObject*>(a.object);
    return (PyArray_FLAGS(array) & (NPY_ARRAY_WRITEABLE | NPY_ARRAY_WRITEBACKIFCOPY)) == NPY_ARRAY_WRITEABLE;
}

inline PyArray_Descr* descr_of(PyObject* a) { return PyArray_DESCR(reinterpret_cast<PyArrayObject*>(a)); }
inline kernels::unaligned_double* data_of(PyObject* a) {
    return static_cast<kernels::unaligned_double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
}

// `a` can serve as this step's new array of `descr`: nothing but its
// `holders` (its field and the step's own reference) holds it (no other reference, no weak
// reference, no view, owns its data, aligned as NumPy allocates) and its
// strides are those of a new C-ordered array. Only a step that keeps every
// other thread from the controller's fields from this test to its store
// reuses: with the GIL, by keeping it; without, by holding the instance's
// lock throughout, with nothing between that could wait (a wait lets the
// lock go). gc.get_referents, the one way to a field that takes no lock,
// stops the world, and a thread in native code stops only where it waits.
VESK_ALWAYS_INLINE bool reusable(const KernelArray& a, PyArray_Descr* descr, Py_ssize_t holders = 2) {
    auto* array = reinterpret_cast<PyArrayObject*>(a.object);
    constexpr int needed = NPY_ARRAY_OWNDATA | NPY_ARRAY_WRITEABLE | NPY_ARRAY_ALIGNED;
    if (Py_REFCNT(a.object) != holders || PyArray_BASE(array) || (PyArray_FLAGS(array) & needed) != needed ||
        (PyArray_FLAGS(array) & NPY_ARRAY_WRITEBACKIFCOPY) || PyArray_DESCR(array) != descr)
        return false;
    const Py_ssize_t weaklist = Py_TYPE(a.object)->tp_weaklistoffset;
    if (weaklist <= 0 || *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(a.object) + weaklist)) return false;
    npy_intp stride = sizeof(double);
    for (int i = PyArray_NDIM(array) - 1; i >= 0; --i) {
        if (PyArray_STRIDES(array)[i] != stride) return false;
        stride *= PyArray_DIMS(array)[i];
    }
#if defined(Py_GIL_DISABLED)
    // Another thread's last use of the array comes before the drop of its
    // reference that the count above saw (an acquire of what it released).
    (void)_Py_atomic_load_ssize_acquire(&a.object->ob_ref_shared);
#endif
    return true;
}

// A new C-ordered array, as NumPy makes one for a result.
Ref new_array(PyArray_Descr* descr, int ndim, const npy_intp* shape);
// The same from a spare kept for large steps when one fits (fused.cpp).
Ref spare_array(PyArray_Descr* descr, int ndim, const npy_intp* shape);
// Frees the spares that no array of a step of n elements can use.
void drop_spares_unlike(std::size_t n);
// Keeps a replaced array that only the caller's reference holds as a spare.
void keep_spare(PyObject* replaced);

// `np`, looked up as the laws look it up, is the NumPy module seen at
// import and each function of the mask `wanted` (a bit per NumpyFunction)
// is NumPy's own: from what earlier look-ups found while neither namespace
// has changed since (and both hold str keys alone, so that no look-up could
// run Python code); else looked up now, which may run Python code (a
// namespace key's __eq__).
bool numpy_functions_are_own(unsigned wanted);

// Every NumPy function of `calls` that the step would call is NumPy's own.
// The table is a constant: the masks fold into the step's code.
template <std::size_t N>
VESK_ALWAYS_INLINE bool numpy_calls_are_own(const NumpyCall (&calls)[N], bool differentiate) {
    unsigned wanted = 0;
    for (const NumpyCall& call : calls)
        if (call.when == Called::always || !differentiate) wanted |= 1u << static_cast<unsigned>(call.function);
    return wanted == 0 || numpy_functions_are_own(wanted);
}

// `object` is an ndarray of at least `from` elements.
inline bool large(PyObject* object, std::size_t from) {
    if (Py_TYPE(object) != globals::ndarray_type) return false;  // an exact one: nothing else is plain
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    npy_intp size = 1;
    for (int i = 0; i < PyArray_NDIM(array); ++i) size *= PyArray_DIMS(array)[i];
    return size >= static_cast<npy_intp>(from);
}

// Records `np` of the module namespace `ns` and its functions. 0, or -1
// with the error set.
int remember_numpy(PyObject* ns);

// Frees the scratch block and the spare arrays kept for the next large step.
void release_kept_memory() noexcept;

// Room for a kernel's scratch values: on the stack when small, else from
// one heap block kept from step to step (fused.cpp says why).
class Scratch {
public:
    explicit Scratch(std::size_t count) {
        if (count > std::size(local_)) take(count);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        if (block_) give_back();
    }
    double* get() const noexcept { return data_; }

private:
    void take(std::size_t count);
    void give_back() noexcept;
    double local_[768];
    double* data_ = local_;
    double* block_ = nullptr;  // the heap block that holds data_, if any
};

// The fields of a controller as a step read them, each held by the step:
// whatever runs meanwhile may replace a field but frees nothing the step uses.
template <int N>
class Snapshot {
public:
    // Taken under the instance's lock (see instance.hpp).
    Snapshot(PyObject* self, PyObject* const* fields) noexcept {
        (void)self;
        Py_BEGIN_CRITICAL_SECTION(self);
        for (int i = 0; i < N; ++i) refs_[i] = Ref::new_ref(fields[i]);
        Py_END_CRITICAL_SECTION();
    }
    PyObject* operator[](int i) const noexcept { return refs_[i].get(); }
    // Every field is still the object the step read: its results may be stored.
    bool unchanged(PyObject* const* fields) const noexcept {
        for (int i = 0; i < N; ++i)
            if (fields[i] != refs_[i].get()) return false;
        return true;
    }

private:
    Ref refs_[N];
};

// Runs `kernel` (which returns true when no NaN reached a result) with the
// floating-point status cleared, and then, if it came through clean and no
// flag was raised, `commit`, else `undo` (of what the kernel changed in place):
// all with the GIL released for large n, as NumPy's own loops run (the
// kernel and `commit` only write into arrays the step updates in place, as
// NumPy's in-place additions do). True when the step was committed.
template <class Kernel, class Commit, class Undo>
bool run_clean(bool release_gil, Kernel&& kernel, Commit&& commit, Undo&& undo) {
    auto run = [&] {
        kernels::FpStatus::clear();
        const bool clean = kernel();
        if (!clean || kernels::FpStatus::raised()) {
            undo();
            return false;
        }
        commit();
        return true;
    };
    if (!release_gil) return run();
    bool committed;
    Py_BEGIN_ALLOW_THREADS
    committed = run();
    Py_END_ALLOW_THREADS
    return committed;
}

// ---- the pipeline ----------------------------------------------------------

// What the pipeline hands a law's kernel and commit: every operand resolved
// from the held objects, by the law's operand index.
// The per-operand entries are each set by the pipeline's unrolled checks,
// not cleared in bulk: a step is short at small n, and clearing the whole
// block first compiled to a string instruction that cost more than the
// checks themselves.
template <class Fused>
struct Resolved {
    static constexpr int count = static_cast<int>(std::size(Fused::operands));
    // (Plain arrays: a template argument would drop kernels::unaligned_double's alignment attribute.)
    kernels::unaligned_double* data[count];    // arrays: their data (null: not read this step)
    double number[count];          // numbers: their value
    kernels::unaligned_double* result[count];  // replaced: the new array's data, or null when reused
    bool reused[count];            // replaced: the old array is written in place, by the kernel or the commit
    kernels::unaligned_double* control = nullptr;
    double* scratch = nullptr;
    std::size_t n = 0;
    double dt = 0.0;
    bool differentiate = false;
};

// A law's fused step: the control signal, or nothing (and no error) for the
// generic law. `Fused` gives `Fields`, `operands` (its table), `numpy_calls`,
// `control_like` (the operand whose dtype object the control signal gets),
// `scratch_size(r)`, `accepts(r)` (checks beyond the table's), `kernel(r)`
// (true when no NaN came out; it updates the `updated` operands in place and
// logs their old values), `commit(r)` (what a reused array gets, once the
// kernel came through clean) and `undo(r)` (of what the kernel changed in
// place, from its log, when it did not).
// Calls f(std::integral_constant<int, I>{}) for I = 0 .. Count-1 while it
// returns true: each operand's row is a constant there, so a law's checks
// unroll into straight code with no test of the table left at run time.
template <int Count, class F>
inline bool each_operand(F&& f) {
    return [&]<int... I>(std::integer_sequence<int, I...>) {
        return (f(std::integral_constant<int, I>{}) && ...);
    }(std::make_integer_sequence<int, Count>{});
}

// How many of the law's first `end` operands a step replaces.
template <class Fused>
constexpr int replaced_count(int end) {
    int count = 0;
    for (int i = 0; i < end; ++i) count += Fused::operands[i].role == Role::replaced;
    return count;
}

// `ndim` is a template argument: the checks of the operands then unroll.
// Never inlined into its caller: its scratch and locals are off the stack
// before the generic law runs Python code (re-entry goes as deep as the
// recursion limit allows).
template <class Fused, int ndim>
VESK_NOINLINE Ref step(Instance<typename Fused::Fields>* self, PyObject* target, PyObject* current, double dt) {
    using R = Resolved<Fused>;
    constexpr int count = R::count;
    constexpr int nfields = field_count<typename Fused::Fields>;
    const bool differentiate = dt > 0;

    // 1. Look-ups that may run Python code: nothing about any array is known
    // yet. Then, if no kernel of another thread owns the controller, own it
    // when the kernel will run without the GIL (the size is read again
    // below); else wait for that kernel and decide everything again.
    concurrency::KernelOwner owner;
    for (;;) {
        if (!numpy_calls_are_own(Fused::numpy_calls, differentiate)) return Ref();
        const bool to_own = large(target, release_gil_from_of<Fused>());
        if (to_own ? owner.try_own(self) : !concurrency::owned(self)) break;
        // the caller finds the error a signal handler raised
        if ((to_own ? owner.wait_to_own(self) : concurrency::wait_idle(self)) < 0) return Ref();
    }
    // 2. Hold every field. From here until the results are stored no Python
    // code runs in this thread.
    const Snapshot<nfields> state(self, self->fields);

    // 3. Everything about the arrays, read from the held objects.
    static_assert(Fused::operands[0].source == target_position, "the target comes first: it gives the shape");
    static_assert(
        [] {
            for (const OperandSpec& o : Fused::operands)
                if (o.role == Role::replaced && Fused::operands[o.result_like].role == Role::number) return false;
            return Fused::operands[Fused::control_like].role != Role::number;
        }(),
        "a new array takes the dtype object of an array operand");
    KernelArray arrays[count];  // each set below: a number's, or an array's that is not plain, to nothing
    R r;
    r.dt = dt;
    r.differentiate = differentiate;
    if (!kernel_array(target, ndim, nullptr, arrays[0]) || arrays[0].size == 0) return Ref();
    npy_intp shape[ndim];  // a copy: the target's dims block is NumPy's to replace
    for (int d = 0; d < ndim; ++d) shape[d] = PyArray_DIMS(reinterpret_cast<PyArrayObject*>(target))[d];
    const npy_intp history_shape[2] = {static_cast<npy_intp>(kernels::history_rows), shape[0]};
    r.n = arrays[0].size;
    const bool plain = each_operand<count>([&](auto i) {
        constexpr OperandSpec spec = Fused::operands[i];
        r.data[i] = nullptr;
        r.number[i] = 0.0;
        r.result[i] = nullptr;
        r.reused[i] = false;
        if constexpr (i == 0) {
            r.data[0] = arrays[0].data;
            return true;
        }
        PyObject* object = spec.source == target_position    ? target
                           : spec.source == current_position ? current
                                                             : state[spec.source];
        if constexpr (spec.role == Role::number) {
            arrays[i] = {};
            if (!PyFloat_CheckExact(object)) return false;
            r.number[i] = PyFloat_AS_DOUBLE(object);
            return true;
        } else {
            const bool is_plain = spec.rows == Rows::history ? kernel_array(object, 2, history_shape, arrays[i])
                                                             : kernel_array(object, ndim, shape, arrays[i]);
            const bool needed = spec.when == When::always || differentiate;
            if (!is_plain) {
                arrays[i] = {};  // not read, and not plain: never reused either
                return !needed;
            }
            if (spec.role == Role::updated && !writeable(arrays[i])) return false;
            if (needed) r.data[i] = arrays[i].data;
            return true;
        }
    });
    if (!plain) return Ref();
    // Nothing updated in place shares memory with anything read.
    const bool apart = each_operand<count>([&](auto w) {
        if constexpr (Fused::operands[w].role != Role::updated) {
            return true;
        } else {
            return each_operand<count>([&](auto i) {
                if constexpr (i == w || Fused::operands[i].role == Role::number) {
                    return true;
                } else {
                    const bool read = Fused::operands[i].role == Role::updated || r.data[i];
                    return !(read && overlap(arrays[w], arrays[i]));
                }
            });
        }
    });
    if (!apart || !Fused::accepts(r)) return Ref();

    // New results; a replaced array nothing else holds is reused by a small
    // step instead (written in place once the kernel is clean, or by it with
    // an undo log). A large step releases the GIL: it never reuses.
    const bool release_gil = r.n >= release_gil_from_of<Fused>();
    if (release_gil && !owner.owns()) return Ref();  // cannot happen: nothing ran since the claim
    // The control signal first: nothing that allocates comes between the
    // reuse test and the store when there is no GIL.
    Ref control = new_array(descr_of(arrays[Fused::control_like].object), ndim, shape);
    if (!control) {
        PyErr_Clear();  // the generic law meets the same shortage and reports it
        return Ref();
    }
    // Without a GIL a small step holds the instance's lock from the reuse
    // test to the store, and reuses all of its replaced arrays or none (an
    // allocation under tracemalloc may wait, which lets the lock go).
    InstanceLock window(self, !release_gil);
    const auto can_reuse = [&](auto i) {
        constexpr OperandSpec spec = Fused::operands[i];
        return !release_gil && arrays[i].object && reusable(arrays[i], descr_of(arrays[spec.result_like].object));
    };
    const bool reuse_all = window.held() && each_operand<count>([&](auto i) {
        if constexpr (Fused::operands[i].role != Role::replaced) return true;
        else return can_reuse(i);
    });
    if (!reuse_all) window.release();
    Ref results[replaced_count<Fused>(count)];  // by replaced_count<Fused>(i) for operand i
    const bool made = each_operand<count>([&](auto i) {
        constexpr OperandSpec spec = Fused::operands[i];
        if constexpr (spec.role != Role::replaced) {
            return true;
        } else {
            Ref& result = results[replaced_count<Fused>(i)];
            // NumPy gives a result the dtype object of its first operand.
            PyArray_Descr* descr = descr_of(arrays[spec.result_like].object);
            if (free_threaded ? reuse_all : can_reuse(i)) {
                r.reused[i] = true;
                result = Ref::new_ref(arrays[i].object);
                r.data[i] = arrays[i].data;
                return true;
            }
            auto make = release_gil ? spare_array : new_array;
            result = spec.rows == Rows::history ? make(descr, 2, history_shape) : make(descr, ndim, shape);
            if (!result) return false;
            r.result[i] = data_of(result.get());
            return true;
        }
    });
    drop_spares_unlike(r.n);  // a step of another size frees what it cannot use
    Scratch scratch(made ? Fused::scratch_size(r) : 0);
    if (!made || !scratch.get()) {
        PyErr_Clear();  // the generic law meets the same shortage and reports it
        return Ref();
    }
    r.control = data_of(control.get());
    r.scratch = scratch.get();

    // 4. The kernel and the in-place updates.
    if (!run_clean(release_gil, [&] { return Fused::kernel(r); }, [&] { Fused::commit(r); }, [&] { Fused::undo(r); }))
        return Ref();

    // 5. A reset meanwhile (another thread's __init__ or __setstate__) wins:
    // the step returns its control signal, as if it had finished just before,
    // and stores nothing over it. The old objects are held by `state`, so no
    // store frees anything.
    // The test and the stores hold the instance's lock (see instance.hpp);
    // every old value is still held by `state`, so no store frees anything there.
    bool stored;
    {
        const InstanceLock store(self, !window.held());
        stored = state.unchanged(self->fields);
        if (stored) {
            each_operand<count>([&](auto i) {
                if constexpr (Fused::operands[i].role == Role::replaced)
                    set_slot(self->fields[Fused::operands[i].source], std::move(results[replaced_count<Fused>(i)]));
                return true;
            });
        }
    }
    window.release();
    if (stored && release_gil) {
        each_operand<count>([&](auto i) {
            if constexpr (Fused::operands[i].role == Role::replaced)
                keep_spare(state[Fused::operands[i].source]);  // if `state` alone holds it now
            return true;
        });
    }
    return control;
}

}  // namespace vesk::fused
