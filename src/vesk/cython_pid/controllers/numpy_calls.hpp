// NumPy as the control laws reach it: through the module-level name `np`,
// looked up at every use, so rebinding `vesk.cython_pid.np` takes effect on
// the next call.
#pragma once

#include "extension/globals.hpp"

namespace vesk::numpy {

// np.<name>, with `np` looked up now.
inline Ref attr(PyObject* name) {
    Ref np = globals::lookup(globals::names.np);
    if (!np) return Ref();
    return Ref::steal(PyObject_GetAttr(np.get(), name));
}

// np.zeros_like(like, dtype=np.float64)
inline Ref zeros_like_float64(PyObject* like) {
    Ref zeros_like = attr(globals::names.zeros_like);
    if (!zeros_like) return Ref();
    Ref float64 = attr(globals::names.float64);
    if (!float64) return Ref();
    PyObject* args[] = {like, float64.get()};
    return Ref::steal(PyObject_Vectorcall(zeros_like.get(), args, 1, globals::kw_dtype));
}

// np.zeros_like(like)
inline Ref zeros_like(PyObject* like) {
    Ref zeros_like = attr(globals::names.zeros_like);
    if (!zeros_like) return Ref();
    return Ref::steal(PyObject_CallOneArg(zeros_like.get(), like));
}

// Python arithmetic on two operands, taking the result as a new reference.
inline Ref sub(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Subtract(a, b)); }
inline Ref mul(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Multiply(a, b)); }
inline Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
inline Ref iadd(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_InPlaceAdd(a, b)); }

// `value * dt` and `value / dt`, where dt enters as a new Python float.
inline Ref mul_float(PyObject* value, double dt) {
    Ref f = Ref::made(PyFloat_FromDouble(dt));
    return f ? mul(value, f.get()) : Ref();
}
inline Ref div_float(PyObject* value, double dt) {
    Ref f = Ref::made(PyFloat_FromDouble(dt));
    return f ? Ref::steal(PyNumber_TrueDivide(value, f.get())) : Ref();
}

}  // namespace vesk::numpy
