// Pickling of controllers. A pickle is a stored format that callers keep:
// it holds only references (the reconstructor and the class, by name), the
// layout checksum and the state tuple of the fields in alphabetical order.
// Nothing here may change what an existing pickle means.
#include "pickle.hpp"

#include <algorithm>
#include <iterator>

#include "extension/binding.hpp"
#include "extension/concurrency.hpp"
#include "extension/convert.hpp"
#include "extension/globals.hpp"
#include "extension/operation.hpp"

namespace vesk {

namespace {

// Writes the state tuple into the fields, by position; a short tuple stops
// at the missing element (the tuple's own IndexError), leaving the fields
// written so far. An extra element is merged into an instance __dict__.
int set_state(const ClassSpec& cls, PyObject* self, PyObject* state) {
    Operation op(cls.traceback.unpickle_set_state);
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return op.fail_status();
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(state), nfields = cls.nfields();
    for (Py_ssize_t i = 0; i < nfields; ++i) {
        if (i >= size) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return op.fail_status();
        }
        store_slot(self, fields_of(self)[cls.law->layout->state_order[i]], Ref::new_ref(PyTuple_GET_ITEM(state, i)));
    }
    if (size > nfields) {
        int has_dict = PyObject_HasAttrWithError(self, globals::names.dict);
        if (has_dict < 0) return op.fail_status();
        if (has_dict) {
            Ref dict = Ref::steal(PyObject_GetAttr(self, globals::names.dict));
            if (!dict) return op.fail_status();
            // Keep the extra element alive on its own: update() may run code
            // that drops the state tuple's other owners.
            Ref extra = Ref::new_ref(PyTuple_GET_ITEM(state, nfields));
            Ref result = Ref::steal(PyObject_CallMethodOneArg(dict.get(), globals::names.update, extra.get()));
            if (!result) return op.fail_status();
        }
    }
    return 0;
}

// A state must be None or a tuple exactly (a tuple subclass is refused).
int check_state_type(PyObject* state) {
    if (state == Py_None || PyTuple_CheckExact(state)) return 0;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
    return -1;
}

// The checksum as "%x" formats a Python int: 0x-1 for -1.
Ref hex_text(long value) {
    unsigned long magnitude = value < 0 ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    return Ref::steal(PyUnicode_FromFormat(value < 0 ? "-%lx" : "%lx", magnitude));
}

// "Incompatible checksums (0x... vs (<accepted>) = (<fields in pickled order>))"
Ref incompatible_message(const ClassSpec& cls, long checksum) {
    const Layout& layout = *cls.law->layout;
    Ref names = Ref::made(PyList_New(0));
    if (!names) return Ref();
    for (int position : layout.state_order) {
        Ref name = Ref::steal(PyUnicode_FromString(layout.names[position]));
        if (!name || PyList_Append(names.get(), name.get()) < 0) return Ref();
    }
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    if (!separator) return Ref();
    Ref joined = Ref::steal(PyUnicode_Join(separator.get(), names.get()));
    if (!joined) return Ref();
    Ref given = hex_text(checksum);
    if (!given) return Ref();
    const long* c = cls.checksums;
    return Ref::steal(PyUnicode_FromFormat("Incompatible checksums (0x%U vs (0x%lx, 0x%lx, 0x%lx) = (%U))", given.get(),
                                           static_cast<unsigned long>(c[0]), static_cast<unsigned long>(c[1]),
                                           static_cast<unsigned long>(c[2]), joined.get()));
}

// raise PickleError(message), with `from pickle import PickleError` done
// anew each time.
void raise_incompatible(const ClassSpec& cls, long checksum) {
    Ref fromlist = Ref::made(PyTuple_Pack(1, globals::names.PickleError));
    if (!fromlist) return;
    Ref pickle = Ref::steal(
        PyImport_ImportModuleLevelObject(globals::names.pickle, globals::module_dict, nullptr, fromlist.get(), 0));
    if (!pickle) return;
    PyObject* error_type = nullptr;
    if (PyObject_GetOptionalAttr(pickle.get(), globals::names.PickleError, &error_type) < 0) return;
    Ref owned_type = Ref::steal(error_type);
    if (!error_type) {
        PyErr_Format(PyExc_ImportError, "cannot import name %R from %R", globals::names.PickleError,
                     globals::names.pickle);
        return;
    }
    Ref message = incompatible_message(cls, checksum);
    if (!message) return;
    Ref error = Ref::steal(PyObject_CallOneArg(error_type, message.get()));
    if (!error) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

// 1 when `obj.__name__` is `name`, 0 when it is not or there is no
// __name__, -1 on any other error.
int has_name(PyObject* obj, const char* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(obj, globals::names.name, &value) < 0) return -1;
    Ref owned = Ref::steal(value);
    return value && PyUnicode_Check(value) && PyUnicode_EqualToUTF8(value, name);
}

// Moves dict[from_name] to dict[to_name] when the class has `from_name`.
// 1 moved, 0 absent, -1 error.
int move_entry(PyObject* type, PyObject* dict, PyObject* from_name, PyObject* to_name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(type, from_name, &value) < 0) return -1;
    Ref owned = Ref::steal(value);
    if (!value) return 0;
    if (PyDict_SetItem(dict, to_name, value) < 0 || PyDict_DelItem(dict, from_name) < 0) return -1;
    return 1;
}

int install(PyObject* type) {
    const auto& n = globals::names;
    auto* object = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    Ref object_reduce = Ref::steal(PyObject_GetAttr(object, n.reduce));
    Ref object_reduce_ex = Ref::steal(PyObject_GetAttr(object, n.reduce_ex));
    Ref object_getstate = Ref::steal(PyObject_GetAttr(object, n.getstate));
    if (!object_reduce || !object_reduce_ex || !object_getstate) return -1;

    // A class with pickling of its own is left alone.
    PyObject* getstate = nullptr;
    if (PyObject_GetOptionalAttr(type, n.getstate, &getstate) < 0) return -1;
    Ref owned_getstate = Ref::steal(getstate);
    if (getstate && getstate != object_getstate.get()) return 0;
    Ref reduce_ex = Ref::steal(PyObject_GetAttr(type, n.reduce_ex));
    if (!reduce_ex) return -1;
    if (reduce_ex.get() != object_reduce_ex.get()) return 0;
    Ref reduce = Ref::steal(PyObject_GetAttr(type, n.reduce));
    if (!reduce) return -1;
    bool object_reduces = reduce.get() == object_reduce.get();
    if (!object_reduces) {
        int ours = has_name(reduce.get(), "__reduce_cython__");
        if (ours <= 0) return ours;
    }

    Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
    if (!dict) return -1;
    int moved = move_entry(type, dict.get(), n.reduce_cython, n.reduce);
    if (moved < 0 || (moved == 0 && object_reduces)) return -1;

    PyObject* setstate = nullptr;
    if (PyObject_GetOptionalAttr(type, n.setstate, &setstate) < 0) return -1;
    Ref owned_setstate = Ref::steal(setstate);
    int ours = setstate ? has_name(setstate, "__setstate_cython__") : 1;
    if (ours < 0) return -1;
    if (ours) {
        moved = move_entry(type, dict.get(), n.setstate_cython, n.setstate);
        if (moved < 0 || (moved == 0 && !setstate)) return -1;
    }
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
    return 0;
}

}  // namespace

int setup_pickling(const ClassSpec& cls) {
    if (install(reinterpret_cast<PyObject*>(&cls.type)) == 0) return 0;
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", cls.type.tp_name);
    return -1;
}

PyObject* reduce_cython(const ClassSpec& cls, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    Operation op(cls.traceback.reduce_cython);
    static ParamList params{"__reduce_cython__", {}, 0, 0};
    Ref unused[1];
    if (bind(params, args, nargs, kwnames, unused) < 0) return nullptr;  // refused without an entry
    // Not while another thread's kernel updates the arrays in place.
    if (concurrency::wait_idle(self) < 0) return op.fail();

    const Layout& layout = *cls.law->layout;
    PyObject** fields = fields_of(self);
    Ref state = Ref::made(PyTuple_New(cls.nfields()));
    if (!state) return op.fail();
    bool use_setstate = false;
    Py_BEGIN_CRITICAL_SECTION(self);  // the fields as one step left them (see instance.hpp)
    for (int i = 0; i < cls.nfields(); ++i)
        PyTuple_SET_ITEM(state.get(), i, Py_NewRef(fields[layout.state_order[i]]));
    Py_END_CRITICAL_SECTION();
    PyObject* dict = nullptr;
    if (PyObject_GetOptionalAttr(self, globals::names.dict, &dict) < 0) return op.fail();
    Ref owned_dict = Ref::steal(dict);
    if (dict && dict != Py_None) {
        Ref extra = Ref::made(PyTuple_Pack(1, dict));
        if (!extra) return op.fail();
        state = Ref::steal(PySequence_Concat(state.get(), extra.get()));
        if (!state) return op.fail();
        use_setstate = true;
    } else {
        // The fields as taken above: reading __dict__ may have run code that replaced them.
        for (int i = 0; i < cls.nfields() && !use_setstate; ++i) use_setstate = PyTuple_GET_ITEM(state.get(), i) != Py_None;
    }
    Ref name = Ref::made(PyUnicode_InternFromString(cls.reconstructor_name));
    if (!name) return op.fail();
    Ref reconstructor = globals::lookup(name.get());
    if (!reconstructor) return op.fail();
    Ref checksum = Ref::made(PyLong_FromLong(cls.checksums[0]));
    if (!checksum) return op.fail();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    Ref result = use_setstate
                     ? Ref::made(Py_BuildValue("(O(OOO)O)", reconstructor.get(), type, checksum.get(), Py_None,
                                                state.get()))
                     : Ref::made(Py_BuildValue("(O(OOO))", reconstructor.get(), type, checksum.get(), state.get()));
    if (!result) return op.fail();
    return result.release();
}

PyObject* setstate_cython(const ClassSpec& cls, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    Operation op(cls.traceback.setstate_cython);
    static ParamList params{"__setstate_cython__", {"__pyx_state"}, 1, 1};
    Ref state;
    if (bind(params, args, nargs, kwnames, &state) < 0) return op.fail();
    if (check_state_type(state.get()) < 0) return op.fail();
    if (set_state(cls, self, state.get()) < 0) return op.fail();
    Py_RETURN_NONE;
}

PyObject* unpickle(const ClassSpec& cls, PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Operation op(cls.traceback.unpickle);
    Ref given[3];
    static_assert(std::size(given) == unpickle_function.argcount);
    if (bind(cls.reconstructor_params, args, nargs, kwnames, given) < 0) return op.fail();
    long checksum;  // its __int__ may run Python code: the arguments are held
    if (to_long(given[1].get(), &checksum) < 0) return op.fail();

    // The checksum is tested first, before anything about the class.
    if (std::find(std::begin(cls.checksums), std::end(cls.checksums), checksum) == std::end(cls.checksums)) {
        raise_incompatible(cls, checksum);
        return op.fail();
    }
    // The class's own __new__ checks that __pyx_type is it or a subclass.
    Ref new_ = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&cls.type),
                                           globals::names.new_));
    if (!new_) return op.fail();
    Ref result = Ref::steal(PyObject_CallOneArg(new_.get(), given[0].get()));
    if (!result) return op.fail();
    PyObject* state = given[2].get();
    if (state != Py_None) {
        if (check_state_type(state) < 0) return op.fail();
        if (set_state(cls, result.get(), state) < 0) return op.fail();
    }
    return result.release();
}

}  // namespace vesk
