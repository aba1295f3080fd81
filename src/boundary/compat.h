#pragma once
// The differences between the supported CPython versions (3.8 to 3.15), and
// the interpreter's header with them: every other file reaches the interpreter
// through this one. Free-threading differences are in shared_state.h, compiler
// attributes in attributes.h.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // the int layout, for small_int_value
#endif

#include "boundary/attributes.h"

static_assert(PY_VERSION_HEX >= 0x03080000, "tarvu needs CPython 3.8 or newer");

// The headers' pyconfig.h must describe the machine being compiled for (a
// wheel for another architecture is built with a pyconfig.h made for it):
// every object layout the module touches follows from these sizes.
static_assert(SIZEOF_VOID_P == sizeof(void*) && SIZEOF_SIZE_T == sizeof(size_t) && SIZEOF_LONG == sizeof(long) &&
                  SIZEOF_INT == sizeof(int) && SIZEOF_WCHAR_T == sizeof(wchar_t),
              "pyconfig.h was made for another architecture");
#if defined(MS_WINDOWS)
// Windows' pyconfig.h is written by hand for every compiler there and says
// nothing of long double (whose size differs between them) nor of wchar_t's
// sign: wchar_t is the unsigned 16-bit UTF-16 unit on all of them.
static_assert(WCHAR_MIN == 0, "pyconfig.h was made for Windows, the compiler targets another system");
#else
static_assert(SIZEOF_LONG_DOUBLE == sizeof(long double), "pyconfig.h was made for another architecture");
#if defined(HAVE_USABLE_WCHAR_T) != (WCHAR_MIN == 0)
#error "pyconfig.h disagrees with the compiler on the sign of wchar_t: made for another architecture"
#endif
#endif

namespace tarvu::compat {

// The fetch/restore/normalise triple keeps the exact type, value and traceback
// of an exception as the interpreter holds them. 3.12 deprecates the first and
// last in favour of a single-object API, but they still behave identically.
TARVU_ALLOW_DEPRECATED_BEGIN

inline void fetch_exception(PyObject** type, PyObject** value, PyObject** traceback) {
    PyErr_Fetch(type, value, traceback);
}

inline void normalize_exception(PyObject** type, PyObject** value, PyObject** traceback) {
    PyErr_NormalizeException(type, value, traceback);
}

TARVU_ALLOW_DEPRECATED_END

/// Positional count of a vector call, without the offset flag.
inline Py_ssize_t vectorcall_nargs(Py_ssize_t nargsf) {
    return PyVectorcall_NARGS(static_cast<size_t>(nargsf));
}

/// Makes calls of `type` go to `call` instead of type_call. Types have a
/// vectorcall slot from 3.9 on; 3.8 never reads it, so it is left empty there.
inline void set_type_vectorcall(PyTypeObject* type, vectorcallfunc call) {
#if PY_VERSION_HEX >= 0x03090000
    type->tp_vectorcall = call;
#else
    (void)type;
    (void)call;
#endif
}

#if PY_VERSION_HEX < 0x030C0000
/// holds_interpreter before 3.12, where the current state is one process-wide
/// pointer naming whichever thread holds the lock. PyGILState_Check cannot be
/// used to read it: it answers 1 for every thread once any sub-interpreter has
/// existed (it turns its own test off), and once finalisation has deleted its
/// thread-local key, both exactly when a daemon thread is ended without the
/// lock. So the holder's state is compared with this thread's first state (the
/// one that key names) by address. A thread holding the lock under another
/// state of its own (a sub-interpreter's) is recognised by the thread id in
/// that state, which is read only outside finalisation: a thread that runs
/// here without the lock is one being ended at exit, and the state it would
/// read belongs to the finalising thread, which may be freeing it.
///
/// Out of line: every release through an owned handle asks, and inlined it
/// would add three calls to each of them.
[[gnu::noinline]] inline bool lock_holder_is_this_thread() {
    PyThreadState* holder = _PyThreadState_UncheckedGet();
    if (holder == nullptr) {
        return false;
    }
    if (holder == PyGILState_GetThisThreadState()) [[likely]] {
        return true;
    }
    return !_Py_IsFinalizing() && holder->thread_id == PyThread_get_thread_ident();
}
#endif

/// Whether the calling thread holds the interpreter (is attached to it), so
/// that it may change reference counts. False on a thread that the interpreter
/// ends at exit while it waits for the lock. From 3.12 on the thread's current
/// state is a thread-local that is cleared whenever the thread lets go.
inline bool holds_interpreter() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    return lock_holder_is_this_thread();
#endif
}

/// The item array of a tuple, read in place.
inline PyObject* const* tuple_items(PyObject* tuple) {
    return reinterpret_cast<PyTupleObject*>(tuple)->ob_item;
}

/// Where the text of a compact ASCII str goes: right after its header.
inline char* compact_ascii_data(PyObject* str) {
    return reinterpret_cast<char*>(reinterpret_cast<PyASCIIObject*>(str) + 1);
}

/// The text of a compact ASCII str, which is its own UTF-8 form and sits right
/// after the object header; false for any other str.
inline bool compact_ascii_text(PyObject* str, const char** data, Py_ssize_t* length) {
    if (!PyUnicode_IS_COMPACT_ASCII(str)) {
        return false;
    }
    *data = compact_ascii_data(str);
    *length = PyUnicode_GET_LENGTH(str);
    return true;
}

/// Gives a str just made, not yet shared, the hash it would compute itself.
inline void set_str_hash(PyObject* str, Py_hash_t hash) {
    reinterpret_cast<PyASCIIObject*>(str)->hash = hash;
}

/// Whether the object's type has __index__; the same test as PyIndex_Check,
/// which is a function call on every version but the oldest.
inline bool has_index(PyObject* object) {
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    return number != nullptr && number->nb_index != nullptr;
}

/// What PyLong_AsLong gives on a platform whose `long` has 64 bits, on every
/// platform: the value, or -1 with the same OverflowError past 64 bits. Where
/// `long` has 32 bits (Windows) values between would fail with it, and errors
/// and range checks would no longer be those of the other platforms.
inline long long long_value(PyObject* integer) {
    if constexpr (sizeof(long) == sizeof(long long)) {
        return PyLong_AsLong(integer);
    } else {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
        if (overflow != 0) {
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
            return -1;
        }
        return value;
    }
}

/// Whether the interpreter's small ints (-5 to 256) are static objects of the
/// runtime, one set for the whole process that is never freed (3.11 on; 3.12
/// made them immortal too); older versions allocate them per interpreter and
/// free them at finalisation.
inline constexpr bool STATIC_SMALL_INTS = PY_VERSION_HEX >= 0x030B0000;

/// The value of an exact int small enough to sit in one internal digit,
/// read without a call; false for any other int.
inline bool small_int_value(PyObject* exact_int, long* value) {
#if PY_VERSION_HEX >= 0x030C0000
    auto* number = reinterpret_cast<PyLongObject*>(exact_int);
    if (!PyUnstable_Long_IsCompact(number)) {
        return false;
    }
    *value = static_cast<long>(PyUnstable_Long_CompactValue(number));
    return true;
#else
    auto* number = reinterpret_cast<PyLongObject*>(exact_int);
    switch (Py_SIZE(exact_int)) {
        case 0:
            *value = 0;
            return true;
        case 1:
            *value = static_cast<long>(number->ob_digit[0]);
            return true;
        case -1:
            *value = -static_cast<long>(number->ob_digit[0]);
            return true;
        default:
            return false;
    }
#endif
}

}  // namespace tarvu::compat
