// The counter of the fault-injection build (see fault_injection.hpp), under
// the name the tests look up in the shared object; listed in
// exports-fault-injection.map. Other builds define nothing here.
#include "fault_injection.hpp"

#if defined(VESK_FAULT_INJECTION)
#define PY_SSIZE_T_CLEAN
#include <Python.h>

extern "C" {
Py_EXPORTED_SYMBOL long vesk_fail_allocation_at = 0;
}
#endif
