// Pickling of controllers. A pickle is a stored format that callers keep:
// it holds only references (the reconstructor and the class, by name), the
// layout checksum and the state tuple of the fields in alphabetical order.
// Nothing here may change what an existing pickle means.
#include "pickle.hpp"

#include "extension/binding.hpp"
#include "extension/globals.hpp"
#include "extension/operation.hpp"

namespace vesk {

namespace {

// The accepted checksums per class, as a tuple of ints; the two PID classes
// share one layout and so one tuple.
PyObject* checksum_tuples[class_count] = {};

// Interned reconstructor names and checksum-message templates, per class.
PyObject* reconstructor_names[class_count] = {};
PyObject* message_templates[class_count] = {};

int intern_strings(ClassId id) {
    const ClassSpec& spec = class_spec(id);
    if (!reconstructor_names[id] && !(reconstructor_names[id] = PyUnicode_InternFromString(spec.reconstructor)))
        return -1;
    if (!message_templates[id] && !(message_templates[id] = PyUnicode_FromString(spec.checksum_message)))
        return -1;
    return 0;
}

// Writes the state tuple into the fields, by position; a short tuple stops
// at the missing element (the tuple's own IndexError), leaving the fields
// written so far. An extra element is merged into an instance __dict__.
int set_state(const ClassSpec& spec, PyObject* self, PyObject* state) {
    Operation op(spec.op_set_state);
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return op.fail_status();
    }
    Py_ssize_t size = PyTuple_GET_SIZE(state);
    for (int i = 0; i < spec.nfields; ++i) {
        if (i >= size) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return op.fail_status();
        }
        set_field(self, static_cast<Field>(spec.state_order[i]), Ref::new_ref(PyTuple_GET_ITEM(state, i)));
    }
    if (size > spec.nfields) {
        int has_dict = PyObject_HasAttrWithError(self, globals::names.dict);
        if (has_dict < 0) return op.fail_status();
        if (has_dict) {
            Ref dict = Ref::steal(PyObject_GetAttr(self, globals::names.dict));
            if (!dict) return op.fail_status();
            // Keep the extra element alive on its own: update() may run code
            // that drops the state tuple's other owners.
            Ref extra = Ref::new_ref(PyTuple_GET_ITEM(state, spec.nfields));
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

// raise PickleError(template % checksum), with `from pickle import
// PickleError` done anew each time.
void raise_incompatible(ClassId id, PyObject* checksum) {
    Ref fromlist = Ref::steal(PyTuple_Pack(1, globals::names.PickleError));
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
    Ref message = Ref::steal(PyUnicode_Format(message_templates[id], checksum));
    if (!message) return;
    Ref error = Ref::steal(PyObject_CallOneArg(error_type, message.get()));
    if (!error) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

// Whether `obj.__name__` is `name`; any failure of the test counts as no.
bool is_named(PyObject* obj, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, globals::names.name));
    if (!value) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), name) == 0;
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
    if (!object_reduces && !is_named(reduce.get(), "__reduce_cython__")) return 0;

    Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type)));
    if (!dict) return -1;
    int moved = move_entry(type, dict.get(), n.reduce_cython, n.reduce);
    if (moved < 0 || (moved == 0 && object_reduces)) return -1;

    PyObject* setstate = nullptr;
    if (PyObject_GetOptionalAttr(type, n.setstate, &setstate) < 0) return -1;
    Ref owned_setstate = Ref::steal(setstate);
    if (!setstate || is_named(setstate, "__setstate_cython__")) {
        moved = move_entry(type, dict.get(), n.setstate_cython, n.setstate);
        if (moved < 0 || (moved == 0 && !setstate)) return -1;
    }
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
    return 0;
}

}  // namespace

int create_checksum_tuples() {
    for (int id = 0; id < class_count; ++id) {
        if (checksum_tuples[id]) continue;
        const ClassSpec& spec = class_spec(static_cast<ClassId>(id));
        // A class whose layout another class already has shares its tuple.
        for (int other = 0; other < id; ++other) {
            const ClassSpec& o = class_spec(static_cast<ClassId>(other));
            if (o.checksums[0] == spec.checksums[0]) checksum_tuples[id] = Py_NewRef(checksum_tuples[other]);
        }
        if (checksum_tuples[id]) continue;
        Ref values[3];
        for (int i = 0; i < 3; ++i)
            if (!(values[i] = Ref::steal(PyLong_FromLong(spec.checksums[i])))) return -1;
        checksum_tuples[id] = PyTuple_Pack(3, values[0].get(), values[1].get(), values[2].get());
        if (!checksum_tuples[id]) return -1;
    }
    for (int id = 0; id < class_count; ++id)
        if (intern_strings(static_cast<ClassId>(id)) < 0) return -1;
    return 0;
}

int setup_pickling(const ClassSpec& spec) {
    if (install(reinterpret_cast<PyObject*>(spec.type)) == 0) return 0;
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", spec.type->tp_name);
    return -1;
}

template <ClassId C>
PyObject* reduce_cython(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ClassSpec& spec = class_spec(C);
    Operation op(spec.op_reduce);
    static ParamList params{"__reduce_cython__", {}, 0, 0};
    PyObject* unused[1];
    if (bind(params, args, nargs, kwnames, unused) < 0) return nullptr;  // refused without an entry

    Ref state = Ref::steal(PyTuple_New(spec.nfields));
    if (!state) return op.fail();
    bool use_setstate = false;
    for (int i = 0; i < spec.nfields; ++i) {
        PyObject* value = as_controller(self)->fields[spec.state_order[i]];
        PyTuple_SET_ITEM(state.get(), i, Py_NewRef(value));
    }
    PyObject* dict = nullptr;
    if (PyObject_GetOptionalAttr(self, globals::names.dict, &dict) < 0) return op.fail();
    Ref owned_dict = Ref::steal(dict);
    if (dict && dict != Py_None) {
        Ref extra = Ref::steal(PyTuple_Pack(1, dict));
        if (!extra) return op.fail();
        state = Ref::steal(PySequence_Concat(state.get(), extra.get()));
        if (!state) return op.fail();
        use_setstate = true;
    } else {
        for (int i = 0; i < spec.nfields && !use_setstate; ++i)
            use_setstate = as_controller(self)->fields[i] != Py_None;
    }
    Ref reconstructor = globals::lookup(reconstructor_names[C]);
    if (!reconstructor) return op.fail();
    Ref checksum = Ref::steal(PyLong_FromLong(spec.checksums[0]));
    if (!checksum) return op.fail();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    Ref result = use_setstate
                     ? Ref::steal(Py_BuildValue("(O(OOO)O)", reconstructor.get(), type, checksum.get(), Py_None,
                                                state.get()))
                     : Ref::steal(Py_BuildValue("(O(OOO))", reconstructor.get(), type, checksum.get(), state.get()));
    if (!result) return op.fail();
    return result.release();
}

template <ClassId C>
PyObject* setstate_cython(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ClassSpec& spec = class_spec(C);
    Operation op(spec.op_setstate);
    static ParamList params{"__setstate_cython__", {"__pyx_state"}, 1, 1};
    PyObject* state;
    if (bind(params, args, nargs, kwnames, &state) < 0) return op.fail();
    if (check_state_type(state) < 0) return op.fail();
    Ref held = Ref::new_ref(state);
    if (set_state(spec, self, held.get()) < 0) return op.fail();
    Py_RETURN_NONE;
}

template <ClassId C>
PyObject* unpickle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ClassSpec& spec = class_spec(C);
    Operation op(spec.op_unpickle);
    static ParamList params{spec.reconstructor, {"__pyx_type", "__pyx_checksum", "__pyx_state"}, 3, 3};
    PyObject* bound[3];
    if (bind(params, args, nargs, kwnames, bound) < 0) return op.fail();
    long value;
    if (to_long(bound[1], &value) < 0) return op.fail();

    // The checksum is tested first, before anything about the class.
    Ref checksum = Ref::steal(PyLong_FromLong(value));
    if (!checksum) return op.fail();
    int accepted = PySequence_Contains(checksum_tuples[C], checksum.get());
    if (accepted < 0) return op.fail();
    if (!accepted) {
        raise_incompatible(C, checksum.get());
        return op.fail();
    }
    // The class's own __new__ checks that __pyx_type is it or a subclass.
    Ref new_ = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(spec.type), globals::names.new_));
    if (!new_) return op.fail();
    Ref result = Ref::steal(PyObject_CallOneArg(new_.get(), bound[0]));
    if (!result) return op.fail();
    PyObject* state = bound[2];
    if (state != Py_None) {
        if (check_state_type(state) < 0) return op.fail();
        Ref held = Ref::new_ref(state);
        if (set_state(spec, result.get(), held.get()) < 0) return op.fail();
    }
    return result.release();
}

template PyObject* reduce_cython<pid_1d>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* reduce_cython<pid_2d>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* reduce_cython<adaptive>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* setstate_cython<pid_1d>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* setstate_cython<pid_2d>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* setstate_cython<adaptive>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* unpickle<pid_1d>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* unpickle<pid_2d>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* unpickle<adaptive>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace vesk
