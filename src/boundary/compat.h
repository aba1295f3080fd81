#pragma once
// Every difference between the supported CPython versions (3.8 to 3.13) lives here.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarvu::compat {

// The fetch/restore/normalise triple keeps the exact type, value and traceback
// of an exception as the interpreter holds them. 3.12 deprecates the first and
// last in favour of a single-object API, but they still behave identically.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

inline void fetch_exception(PyObject** type, PyObject** value, PyObject** traceback) {
    PyErr_Fetch(type, value, traceback);
}

inline void normalize_exception(PyObject** type, PyObject** value, PyObject** traceback) {
    PyErr_NormalizeException(type, value, traceback);
}

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

/// Positional count of a vector call, without the offset flag.
inline Py_ssize_t vectorcall_nargs(Py_ssize_t nargsf) {
#if PY_VERSION_HEX >= 0x03080000
    return PyVectorcall_NARGS(static_cast<size_t>(nargsf));
#else
#error "tarvu needs CPython 3.8 or newer"
#endif
}

}  // namespace tarvu::compat
