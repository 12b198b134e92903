#include "traceback.hpp"

#include <frameobject.h>

#include <cstring>

#include "globals.hpp"

namespace vesk {

namespace {

// A short, stable file name: the part of the path below the package.
const char* short_file(const char* path) {
    const char* found = std::strstr(path, "vesk/cython_pid/");
    return found ? found : path;
}

// Code objects are cached by site: an operation fails at the same few places.
struct Site {
    const char* operation;
    const char* file;
    unsigned line;
    PyCodeObject* code;
};
constexpr int cache_size = 64;
Site cache[cache_size];
int cached = 0;

// A new reference to the code object of a failure site.
Ref code_for(const char* operation, const char* file, unsigned line) {
    for (int i = 0; i < cached; ++i) {
        const Site& s = cache[i];
        if (s.operation == operation && s.line == line && s.file == file)
            return Ref::new_ref(reinterpret_cast<PyObject*>(s.code));
    }
    PyCodeObject* code = PyCode_NewEmpty(short_file(file), operation, static_cast<int>(line));
    if (!code) return Ref();
    if (cached < cache_size) {
        cache[cached++] = Site{operation, file, line, code};
        return Ref::new_ref(reinterpret_cast<PyObject*>(code));
    }
    return Ref::steal(reinterpret_cast<PyObject*>(code));
}

}  // namespace

void add_traceback(const char* operation, const char* file, unsigned line) {
    // The error being raised is set aside while the entry is built; a failure
    // to build the entry must not replace it.
    PyObject* exc = PyErr_GetRaisedException();
    Ref code = code_for(operation, file, line);
    Ref globals = globals::module_dict ? Ref::new_ref(globals::module_dict) : Ref::steal(PyDict_New());
    Ref frame;
    if (code && globals)
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace vesk
