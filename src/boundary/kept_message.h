#pragma once
// Errors raised with a message str made once and kept: the misses of the
// vocabularies' lookups, which bulk parsing meets on every unknown text.

#include <cstdint>

#include "boundary/error_value.h"

namespace tarvu {

/// Raises `exception_type` (a builtin exception type whose __init__ is
/// BaseException's) carrying "{text}" or, for a `number` of 0 or more,
/// "{text}{number}", and returns null. The message str is made on the first
/// raise and kept in `cell` for the life of the process; later raises of the
/// same message share it. A failure to make the str or the exception leaves
/// its MemoryError pending instead. Neither runs Python code.
PyObject* raise_kept_message(PyObject* exception_type, PyObject*& cell, AsciiMessage text, int number = -1);

/// The step behind raise_kept_message's first look at `cell`, when that look
/// found it empty: the kept str, made now if no other thread has made it
/// since. Null, with the MemoryError pending, if it could not be made.
PyObject* make_or_keep_message(PyObject*& cell, AsciiMessage text, int number);

}  // namespace tarvu
