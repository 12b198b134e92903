#include "fused.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <utility>
#include <iterator>

#include "extension/globals.hpp"

namespace vesk::fused {

bool native_float64(PyArray_Descr* descr) {
    return descr->type_num == NPY_DOUBLE && PyArray_ISNBO(descr->byteorder) && !PyDataType_METADATA(descr);
}

Ref new_array(PyArray_Descr* descr, int ndim, const npy_intp* shape) {
    Py_INCREF(descr);  // stolen by the call
    return Ref::made(PyArray_NewFromDescr(globals::ndarray_type, descr, ndim, shape, nullptr, nullptr, 0, nullptr));
}

namespace {

// Arrays a large step replaced that nothing else held, kept for the next
// large step's results instead of being freed: the memory of an array that
// size comes back from the system as fresh pages otherwise (from 32 MiB the
// C library maps every allocation afresh), and a step that writes the
// adaptive history (ten rows) would fault on every one. No Python code can
// reach a spare: only this list holds it. Changed with the GIL held only;
// without a GIL nothing is kept.
PyObject* spares[4] = {};

}  // namespace

Ref spare_array(PyArray_Descr* descr, int ndim, const npy_intp* shape) {
    for (PyObject*& spare : spares) {
        if (!spare) continue;
        auto* array = reinterpret_cast<PyArrayObject*>(spare);
        if (PyArray_DESCR(array) != descr || PyArray_NDIM(array) != ndim) continue;
        bool fits = true;
        for (int d = 0; d < ndim; ++d) fits = fits && PyArray_DIMS(array)[d] == shape[d];
        if (fits) return Ref::steal(std::exchange(spare, nullptr));
    }
    return new_array(descr, ndim, shape);
}

void drop_spares_unlike(std::size_t n) {
    for (PyObject*& spare : spares) {
        if (!spare) continue;
        const auto size = static_cast<std::size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(spare)));
        if (size != n && size != kernels::history_rows * n) Py_CLEAR(spare);
    }
}

void keep_spare(PyObject* replaced) {
#if !defined(Py_GIL_DISABLED)
    // The step's own reference is the only one: it is no field's any more.
    if (Py_REFCNT(replaced) != 1) return;
    KernelArray a{};
    if (!kernel_array(replaced, PyArray_NDIM(reinterpret_cast<PyArrayObject*>(replaced)), nullptr, a) ||
        !reusable(a, descr_of(replaced), 1))
        return;
    PyObject** slot = std::find(std::begin(spares), std::end(spares), nullptr);
    if (slot == std::end(spares)) {  // the oldest goes: an ndarray's free runs no Python code
        Py_DECREF(spares[0]);
        std::move(std::begin(spares) + 1, std::end(spares), std::begin(spares));
        slot = std::end(spares) - 1;
    }
    *slot = Py_NewRef(replaced);
#else
    (void)replaced;
#endif
}

namespace {

// What the look-ups found, kept while neither namespace changes. Only while
// both hold str keys alone: a look-up then runs no Python code, so its
// result depends on the dicts' contents only, and a dict watcher says when
// they change. (With a key of another type, whose __eq__ may answer
// differently from one look-up to the next, every step looks up again.)
struct LookupCache {
    int watcher = -1;           // the dict watcher, or -1: no caching
    PyObject* watched = nullptr;  // NumPy's namespace as watched (the module's own is always watched)
    // What steps read, one word for threads without a GIL: the number of
    // changes seen (the high half), whether the rest is valid, and bit i:
    // NumpyFunction i is NumPy's own. A refill stores only if no change came
    // in between.
    std::atomic<std::uint64_t> word{0};
    PyMutex refilling{};  // one refill at a time: it also sets `watched`
};
constexpr std::uint64_t valid_bit = std::uint64_t{1} << 31, change = std::uint64_t{1} << 32;
LookupCache cache;

int forget(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    std::uint64_t word = cache.word.load(std::memory_order_relaxed);
    while (!cache.word.compare_exchange_weak(word, (word & ~(change - 1)) + change, std::memory_order_acq_rel)) {
    }
    return 0;
}

bool only_str_keys(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// NumpyFunction i's name in NumPy's namespace.
PyObject* function_name(unsigned i) {
    const auto& n = globals::names;
    return i == 0 ? n.zeros_like : i == 1 ? n.roll : i == 2 ? n.mean : n.clip;
}

// Fills the cache when both namespaces hold str keys alone. Runs no Python
// code: every look-up here meets str keys only.
void refill_locked(std::uint64_t seen) {
    if (cache.watcher < 0 || !globals::module_dict || !imported.module) return;
    PyObject* numpy_dict = PyModule_GetDict(imported.module);
    if (!numpy_dict || !only_str_keys(globals::module_dict) || !only_str_keys(numpy_dict)) return;
    if (cache.watched != numpy_dict) {
        if (PyDict_Watch(cache.watcher, numpy_dict) < 0) {
            PyErr_Clear();
            return;
        }
        cache.watched = numpy_dict;
    }
    unsigned own = 0;
    PyObject* np = PyDict_GetItemWithError(globals::module_dict, globals::names.np);  // borrowed: no code runs
    if (np == imported.module && PyModule_CheckExact(np)) {
        for (unsigned i = 0; i < numpy_function_count; ++i) {
            PyObject* function = PyDict_GetItemWithError(numpy_dict, function_name(i));
            if (function && function == imported.functions[i]) own |= 1u << i;
        }
    }
    PyErr_Clear();
    // Valid only if no change came since `seen` was read.
    cache.word.compare_exchange_strong(seen, (seen & ~(change - 1)) | valid_bit | own, std::memory_order_acq_rel);
}

void refill(std::uint64_t seen) {
    PyMutex_Lock(&cache.refilling);
    refill_locked(seen);
    PyMutex_Unlock(&cache.refilling);
}

}  // namespace

namespace {

// `np`, looked up now, is the NumPy module seen at import and its function
// i is NumPy's own. The look-ups may run Python code.
bool numpy_function_is_own(unsigned i) {
    PyObject* own_function = imported.functions[i];
    PyObject* name = function_name(i);
    if (!own_function || !globals::module_dict) return false;
    // The namespace may hold keys of any type, whose __eq__ runs in the
    // look-up: the results are held, and the caller reads nothing before.
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(globals::module_dict, globals::names.np, &found) < 0) {
        PyErr_Clear();  // the generic law looks again and reports it
        return false;
    }
    const Ref np = Ref::steal(found);
    if (np.get() != imported.module || !PyModule_CheckExact(np.get())) return false;
    // A module's own namespace: str keys, but a subclass's __eq__ may run too.
    if (PyDict_GetItemRef(PyModule_GetDict(np.get()), name, &found) < 0) {
        PyErr_Clear();
        return false;
    }
    const Ref function = Ref::steal(found);
    return function.get() == own_function;
}

}  // namespace

bool numpy_functions_are_own(unsigned wanted) {
    const std::uint64_t word = cache.word.load(std::memory_order_acquire);
    if (word & valid_bit) return (static_cast<unsigned>(word) & wanted) == wanted;
    for (unsigned i = 0; i < numpy_function_count; ++i)
        if ((wanted >> i & 1u) && !numpy_function_is_own(i)) return false;
    refill(word);  // after the look-ups, which may have run Python code; lost if anything changed since `word`
    return true;
}

namespace {

// NumPy's own function: the numpy module's attribute, from NumPy itself.
int remember_function(PyObject* numpy, PyObject* name, PyObject*& slot) {
    Ref function = Ref::steal(PyObject_GetAttr(numpy, name));
    if (!function) {
        PyErr_Clear();  // no fused step will need it
        return 0;
    }
    Ref module = Ref::steal(PyObject_GetAttr(function.get(), globals::names.module));
    if (!module) {
        PyErr_Clear();
        return 0;
    }
    int is_numpy = PyUnicode_Check(module.get()) ? PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 : 0;
    if (is_numpy) Py_XSETREF(slot, function.release());
    return 0;
}

}  // namespace

int remember_numpy(PyObject* ns) {
    if (cache.watcher < 0) {
        // No watcher left (the interpreter has a few): every step looks up.
        if ((cache.watcher = PyDict_AddWatcher(forget)) < 0) PyErr_Clear();
        if (cache.watcher >= 0 && PyDict_Watch(cache.watcher, ns) < 0) return -1;
    }
    forget(PyDict_EVENT_MODIFIED, nullptr, nullptr, nullptr);
    PyObject* numpy = nullptr;
    if (PyDict_GetItemRef(ns, globals::names.np, &numpy) < 0) return -1;
    Ref owned = Ref::steal(numpy);
    if (!numpy || !PyModule_CheckExact(numpy)) return 0;  // no fused step will ever count it as NumPy
    Py_XSETREF(imported.module, owned.release());
    if (!imported.float64 && !(imported.float64 = PyArray_DescrFromType(NPY_DOUBLE))) return -1;
    for (unsigned i = 0; i < numpy_function_count; ++i)
        if (remember_function(imported.module, function_name(i), imported.functions[i]) < 0) return -1;
    return 0;
}

namespace {

// A heap block of scratch: its capacity in doubles, then (a cache line on)
// the doubles themselves.
constexpr std::size_t block_header = 64 / sizeof(double);
std::size_t& block_capacity(double* block) noexcept { return *reinterpret_cast<std::size_t*>(block); }

// Scratch too large for the stack is kept from one step for the next, not
// freed: one block for the whole process, taken and given back by atomic
// exchange, so that two threads stepping large controllers at once each
// get a block (the second a fresh one, freed again). A block freed every
// step costs fresh pages: from 32 MiB glibc maps every allocation afresh
// and unmaps it on free, and below that the free often leaves enough at the
// top of its heap to give back to the system, so that the next step's
// allocation comes back as new pages, which the kernel zeroes at their
// first touch. Measured in a process that does nothing else: the adaptive
// step at 2^22 elements took 25,600 page faults a step (about half of it),
// the PID step at 2^20 some 2,800 (2.5 times the step without them). The
// block is given back when a step needs less than a quarter of it (and a
// smaller one kept instead), and when the last controller is freed:
// memory the module keeps is then at most four times what the last large
// step needed, and nothing once no controller is left.
std::atomic<double*> kept_block{nullptr};

double* take_block(std::size_t count) {
    if (fault::allocation_fails()) return nullptr;
    if (double* block = kept_block.exchange(nullptr, std::memory_order_acquire)) {
        if (block_capacity(block) >= count && block_capacity(block) / 4 <= count) return block;
        PyMem_RawFree(block);
    }
    auto* block = static_cast<double*>(PyMem_RawMalloc((block_header + count) * sizeof(double)));
    if (block) block_capacity(block) = count;
    return block;
}

}  // namespace

void Scratch::take(std::size_t count) {
    block_ = take_block(count);
    data_ = block_ ? block_ + block_header : nullptr;
}

void release_kept_memory() noexcept {
    PyMem_RawFree(kept_block.exchange(nullptr, std::memory_order_acq_rel));
    for (PyObject*& spare : spares) Py_CLEAR(spare);
}

void Scratch::give_back() noexcept {
    PyMem_RawFree(kept_block.exchange(block_, std::memory_order_acq_rel));  // null, or the block it displaced
}

}  // namespace vesk::fused
