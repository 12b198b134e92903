// The module definition and its multi-phase initialisation: create, then
// execute, in the order the steps below are numbered.
#include "extension/ref.hpp"

// NumPy's C interface is imported here, for the whole module; its headers
// also give the sizes of its type objects. ndarray itself is read from the
// numpy module.
#define VESK_IMPORT_NUMPY
#include "extension/numpy_api.hpp"
#include <numpy/ufuncobject.h>

#include <cstdio>
#include <cstring>

#include "classes.hpp"
#include "controllers/fused.hpp"
#include "extension/buffer.hpp"
#include "extension/function.hpp"
#include "extension/globals.hpp"
#include "extension/traceback.hpp"

// Set by a host program that embeds the interpreter to have the module call
// itself __main__.
extern "C" {
Py_EXPORTED_SYMBOL int __pyx_module_is_main_vesk__cython_pid = 0;
}

namespace vesk {

namespace {

constexpr const char* full_name = "vesk.cython_pid";
constexpr const char* numpy_import_error =
    "numpy.core.multiarray failed to import (auto-generated because you didn't call 'numpy.import_array()' "
    "after cimporting numpy; use '<void>numpy._import_array' to disable if you are certain you don't need it).";

// ---- create -------------------------------------------------------------

int64_t interpreter_id = -1;  // the interpreter that first created the module; never reset

// Copies spec.<attr> into the module namespace as `key`. A spec without the
// attribute leaves the entry out.
int copy_spec_attr(PyObject* spec, PyObject* ns, const char* attr, const char* key, bool allow_none) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, attr, &value) < 0) return -1;
    Ref owned = Ref::steal(value);
    if (!value || (!allow_none && value == Py_None)) return 0;
    return PyDict_SetItemString(ns, key, value);
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (interpreter_id == -1) {
        interpreter_id = current;
    } else if (interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    // A repeated import gets the very same module object.
    if (globals::module) return Py_NewRef(globals::module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* ns = PyModule_GetDict(module.get());
    if (!ns || copy_spec_attr(spec, ns, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, ns, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, ns, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, ns, "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    return module.release();
}

// ---- execute ------------------------------------------------------------

int check_version() {
    unsigned long major = (Py_Version >> 24) & 0xff, minor = (Py_Version >> 16) & 0xff;
    if (major == 3 && minor == 13) return 0;
    char message[200];
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 13, full_name, "does not match", static_cast<int>(major), static_cast<int>(minor));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int import_numpy_api() {
    if (_import_array() < 0) {
        // One fixed message, whatever went wrong underneath.
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, numpy_import_error);
        return -1;
    }
    return 0;
}

int enter_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref key = Ref::steal(PyUnicode_FromString(full_name));
    if (!key) return -1;
    int present = PyDict_Contains(modules, key.get());
    if (present < 0) return -1;
    return present ? 0 : PyDict_SetItem(modules, key.get(), module);
}

// The types this module was compiled against; only ndarray is used later.
// A type smaller than the headers say is refused; for the ones marked,
// a larger one only warns.
struct ExternalType {
    const char* module;
    const char* name;
    Py_ssize_t expected;
    bool warn_if_larger;
};

const ExternalType external_types[] = {
    {"builtins", "type", sizeof(PyHeapTypeObject), true},
    {"numpy", "dtype", sizeof(PyArray_Descr), false},
    {"numpy", "flatiter", sizeof(PyArrayIterObject), false},
    {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), false},
    {"numpy", "ndarray", sizeof(PyArrayObject_fields), false},
    {"numpy", "generic", sizeof(PyObject), true},
    {"numpy", "number", sizeof(PyObject), true},
    {"numpy", "integer", sizeof(PyObject), true},
    {"numpy", "signedinteger", sizeof(PyObject), true},
    {"numpy", "unsignedinteger", sizeof(PyObject), true},
    {"numpy", "inexact", sizeof(PyObject), true},
    {"numpy", "floating", sizeof(PyObject), true},
    {"numpy", "complexfloating", sizeof(PyObject), true},
    {"numpy", "flexible", sizeof(PyObject), true},
    {"numpy", "character", sizeof(PyObject), true},
    {"numpy", "ufunc", sizeof(PyUFuncObject), false},
};

constexpr const char* size_changed =
    "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from PyObject";

// A new reference to the type, checked against the size it was compiled for.
Ref import_type(const ExternalType& entry) {
    Ref module = Ref::steal(PyImport_ImportModule(entry.module));
    if (!module) return Ref();
    Ref type = Ref::steal(PyObject_GetAttrString(module.get(), entry.name));
    if (!type) return Ref();
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", entry.module, entry.name);
        return Ref();
    }
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    Py_ssize_t basic = t->tp_basicsize, item = t->tp_itemsize;
    if (item != 0 && item < 4) item = 4;  // the smallest item counted
    if (basic + item < entry.expected) {
        PyErr_Format(PyExc_ValueError, size_changed, entry.module, entry.name, entry.expected, basic + item);
        return Ref();
    }
    // Formatted by the interpreter, like the error above: no buffer to size.
    if (entry.warn_if_larger && basic > entry.expected &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 0, size_changed, entry.module, entry.name, entry.expected, basic) < 0)
        return Ref();
    return type;
}

// Checks every external type; keeps ndarray, the one used later.
int import_external_types() {
    for (const ExternalType& entry : external_types) {
        Ref type = import_type(entry);
        if (!type) return -1;
        if (entry.module[0] == 'n' && std::strcmp(entry.name, "ndarray") == 0 && !globals::ndarray_type)
            globals::ndarray_type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
    }
    return 0;
}

// Whether validation may read a native float64 ndarray's header instead of
// requesting its buffer (buffer.hpp): decided from ndarray as resolved.
void choose_float64_validation() { use_native_float64_header(globals::ndarray_type); }

// `np`: numpy as sys.modules holds it, unless that entry is still being
// initialised; then a regular import.
int bind_numpy(PyObject* ns) {
    PyObject* existing = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), globals::names.numpy, &existing) < 0) return -1;
    Ref numpy = Ref::steal(existing);
    if (numpy) {
        PyObject* spec = nullptr;
        if (PyObject_GetOptionalAttr(numpy.get(), globals::names.spec, &spec) < 0) return -1;
        Ref owned_spec = Ref::steal(spec);
        if (spec) {
            PyObject* initializing = nullptr;
            if (PyObject_GetOptionalAttr(spec, globals::names.initializing, &initializing) < 0) return -1;
            Ref owned = Ref::steal(initializing);
            int busy = initializing ? PyObject_IsTrue(initializing) : 0;
            if (busy < 0) return -1;
            if (busy) numpy = Ref();
        }
    }
    if (!numpy) numpy = Ref::steal(PyImport_ImportModuleLevelObject(globals::names.numpy, ns, nullptr, nullptr, 0));
    if (!numpy) return -1;
    return PyDict_SetItem(ns, globals::names.np, numpy.get());
}

// Steps 7 on: everything after the constants exist. A failure here gets the
// "init vesk.cython_pid" traceback entry.
int execute_body(PyObject* module, PyObject* ns) {
    if (import_numpy_api() < 0) return -1;
    if (function_type_ready() < 0) return -1;
    if (__pyx_module_is_main_vesk__cython_pid) {
        Ref main_name = Ref::steal(PyUnicode_FromString("__main__"));
        if (!main_name || PyObject_SetAttr(module, globals::names.name, main_name.get()) < 0) return -1;
    }
    if (enter_in_sys_modules(module) < 0) return -1;
    if (prepare_controller_classes() < 0) return -1;
    if (publish_controller_classes(module) < 0) return -1;
    if (import_external_types() < 0) return -1;
    choose_float64_validation();
    if (bind_numpy(ns) < 0) return -1;
    if (fused::remember_numpy(ns) < 0) return -1;
    if (concurrency::install_fork_handler() < 0) return -1;
    lifecycle::on_last_freed = fused::release_kept_memory;
    if (install_controller_methods() < 0) return -1;
    if (publish_reconstructors(ns) < 0) return -1;
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItem(ns, globals::names.test, test.get()) < 0) return -1;
    return 0;
}

int execute(PyObject* module) {
    if (globals::module) {
        if (globals::module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'cython_pid' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    globals::module = Py_NewRef(module);
    globals::module_dict = Py_XNewRef(PyModule_GetDict(module));
    bool constants_done = false;
    int status = -1;
    do {
        if (!globals::module_dict) break;
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        if (!builtins) break;
        Py_XSETREF(globals::builtins, Py_NewRef(builtins.get()));
        if (PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) break;
        if (check_version() < 0) break;
        if (globals::create_constants() < 0) break;
        constants_done = true;
        status = execute_body(module, globals::module_dict);
    } while (false);
    if (status < 0) {
        if (constants_done) add_traceback("init vesk.cython_pid");
        // A later import starts afresh at create.
        Py_CLEAR(globals::module_dict);
        Py_CLEAR(globals::module);
    }
    return status;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
#if defined(Py_GIL_DISABLED)
    // A free-threaded interpreter keeps its GIL off for this module: field
    // access holds the instance's lock, module-wide state is atomic or
    // behind a lock of its own, and no array is reused (concurrency.hpp).
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "cython_pid",  // m_name
    nullptr,       // m_doc
    0,             // m_size: all state is process-wide
    nullptr,       // m_methods
    slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

}  // namespace vesk

PyMODINIT_FUNC PyInit_cython_pid() { return PyModuleDef_Init(&vesk::definition); }
