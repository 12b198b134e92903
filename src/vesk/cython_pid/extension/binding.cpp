#include "binding.hpp"

namespace vesk {

namespace {

// The names are interned on first use, by one thread at a time; the first
// is published last, so a thread that sees it (acquire) sees them all.
PyMutex interning{};
#if defined(__GNUC__)
PyObject* load_acquire(PyObject* const& slot) { return __atomic_load_n(&slot, __ATOMIC_ACQUIRE); }
void store_release(PyObject*& slot, PyObject* value) { __atomic_store_n(&slot, value, __ATOMIC_RELEASE); }
#else  // x86 and ARM64 MSVC: aligned pointer loads and stores are atomic; only the compiler is held back
PyObject* load_acquire(PyObject* const& slot) { return *static_cast<PyObject* const volatile*>(&slot); }
void store_release(PyObject*& slot, PyObject* value) { *static_cast<PyObject* volatile*>(&slot) = value; }
#endif

int intern_names(ParamList& p) {
    if (p.count == 0 || load_acquire(p.interned[0])) return 0;
    PyMutex_Lock(&interning);
    int status = 0;
    for (int i = p.count - 1; i >= 0 && status == 0; --i) {
        if (p.interned[i]) continue;
        PyObject* name = PyUnicode_InternFromString(p.names[i]);
        if (!name) status = -1;
        else store_release(p.interned[i], name);
    }
    PyMutex_Unlock(&interning);
    return status;
}

// The count error, the one message every arity failure uses. `given` is the
// number of positional arguments, or the position of the first missing one.
int count_error(const ParamList& p, Py_ssize_t given) {
    const char* more_or_less;
    Py_ssize_t limit;
    if (p.required == p.count) {
        more_or_less = "exactly";
        limit = p.count;
    } else if (given < p.required) {
        more_or_less = "at least";
        limit = p.required;
    } else {
        more_or_less = "at most";
        limit = p.count;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 p.function, more_or_less, limit, limit == 1 ? "" : "s", given);
    return -1;
}

int multiple_values(const ParamList& p, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", p.function, key);
    return -1;
}

int unexpected_keyword(const ParamList& p, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.function, key);
    return -1;
}

// Index of the parameter named `key` (a str or a subclass), or -1 when none
// is. The interned names match by identity; any other key by its text alone,
// so that no __eq__ of a str subclass runs.
int find(const ParamList& p, PyObject* key) {
    for (int i = 0; i < p.count; ++i)
        if (p.interned[i] == key) return i;
    for (int i = 0; i < p.count; ++i)
        if (PyUnicode_Compare(p.interned[i], key) == 0) return i;
    return -1;
}

// After keywords: the first required parameter still unbound is reported
// with its position as the number given.
int check_required(const ParamList& p, Py_ssize_t nargs, const Ref* out) {
    for (Py_ssize_t i = nargs; i < p.required; ++i)
        if (!out[i]) return count_error(p, i);
    return 0;
}

// Binds the positional arguments, then each keyword in the order given.
// Nothing here runs Python code: keys are compared by identity and text.
template <class Keywords>
int bind_keywords(ParamList& p, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nkw, Keywords&& next,
                  Ref* out) {
    if (nargs > p.count) return count_error(p, nargs);
    if (nkw && intern_names(p) < 0) return -1;
    for (Py_ssize_t i = 0; i < p.count; ++i) out[i] = i < nargs ? Ref::new_ref(args[i]) : Ref();
    PyObject *key, *value;
    while (next(key, value)) {
        int i = find(p, key);
        if (i < 0) return unexpected_keyword(p, key);
        if (out[i]) return multiple_values(p, key);  // by position, or a second key of the same text
        out[i] = Ref::new_ref(value);
    }
    return check_required(p, nargs, out);
}

}  // namespace

int bind(ParamList& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Ref* out) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0 && (nargs < p.required || nargs > p.count)) return count_error(p, nargs);
    Py_ssize_t k = 0;
    auto next = [&](PyObject*& key, PyObject*& value) {
        if (k == nkw) return false;
        key = PyTuple_GET_ITEM(kwnames, k);
        value = args[nargs + k++];
        return true;
    };
    return bind_keywords(p, args, nargs, nkw, next, out);
}

int bind(ParamList& p, PyObject* args, PyObject* kwds, Ref* out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
    PyObject* const* items = reinterpret_cast<PyTupleObject*>(args)->ob_item;
    if (nargs > p.count || (nkw == 0 && nargs < p.required)) return count_error(p, nargs);
    {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (nkw && PyDict_Next(kwds, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return -1;
            }
        }
    }
    // The dict's own order; no Python code runs while it is walked.
    Py_ssize_t pos = 0;
    auto next = [&](PyObject*& key, PyObject*& value) { return nkw && PyDict_Next(kwds, &pos, &key, &value); };
    return bind_keywords(p, items, nargs, nkw, next, out);
}

}  // namespace vesk
