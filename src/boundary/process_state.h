#pragma once
// Everything the module keeps for the whole process, in one place: what each
// cell holds, and when it is made and released. Each is defined beside the
// code that fills it. A cell that holds an object owns a reference to it
// (unless it says borrowed) and keeps it until the process ends: the module
// is never unloaded, and the interpreter may run the module's code until it
// has finished finalising. Threads share these cells as shared_state.h says.
//
// Not declared here:
//   - the per-thread block, GUARD_THREAD_STATE with GIL_COUNT and
//     OWNED_OBJECTS (thread_state.h);
//   - the per-class cells: each label class's type cell, its text forms and
//     the kept messages of its from_int misses, kept with the class;
//   - the cells of one platform, which stay in thread_state.cpp beside the
//     code for that platform:
//       GUARD_THREAD_STATE_OFFSET and PLACEMENT_KNOWN (Linux on x86-64): the
//         per-thread block's offset in static TLS and whether it is known yet,
//         learnt the first time any thread reaches its block; never cleared.
//         The offset is declared in thread_state.h, whose inline access reads
//         it.
//       OWNED_OBJECTS_KEY with OWNED_OBJECTS_KEY_ONCE (POSIX), or
//         OWNED_OBJECTS_SLOT with OWNED_OBJECTS_SLOT_ONCE (Windows): the hook
//         that frees a thread's OWNED_OBJECTS list when the thread exits,
//         created by the first thread that registers a temporary; never
//         deleted.

#include <atomic>

#include "boundary/compat.h"

namespace tarvu {

class BuildLock;       // shared_state.h
class ReferencePool;   // reference_pool.h
struct FreeInstances;  // types/instance.h

// --- The frame -------------------------------------------------------------------------

/// POOL: reference-count changes queued where they could not be made at once,
/// applied by the next call guard to open on any thread. Empty until the
/// first change is queued; its buffers are freed at process exit
/// (reference_pool.cpp).
extern TARVU_HIDDEN ReferencePool POOL;

/// The PanicException type, made on first need: at the latest when the first
/// error is taken from the interpreter (error_value.cpp).
extern TARVU_HIDDEN PyObject* PANIC_EXCEPTION_TYPE;

/// The interned "__qualname__", made the first time a message names a type
/// (error_value.cpp).
extern TARVU_HIDDEN PyObject* QUALNAME_NAME;

/// Serialises the making of every kept message's str, so that each is made
/// once; a lock only without the interpreter lock (kept_message.cpp).
extern TARVU_HIDDEN BuildLock KEPT_MESSAGES_LOCK;

/// The message str of a failed parse, "Matching variant not found", made by
/// the first failed parse.
inline constinit PyObject* NO_MATCHING_VARIANT_MESSAGE = nullptr;

/// The ints 0 to 255 that new_small_int hands out, each stored the first time
/// it is asked for where the interpreter's small ints are static (3.11 on);
/// borrowed, since those ints are never freed. Null: not asked for yet.
inline constinit PyObject* KNOWN_SMALL_INTS[256] = {};

// --- The classes and the module ------------------------------------------------------

/// Memory of up to 64 freed label instances, given back by free_instance and
/// reused by allocate_instance; never used on a free-threaded build. What it
/// holds at process exit is not freed (types/instance.cpp).
extern constinit TARVU_HIDDEN FreeInstances FREE_INSTANCES;

/// The module's definition record, static; the interpreter initialises it at
/// the first import and never releases it (module.cpp).
extern TARVU_HIDDEN PyModuleDef MODULE_DEFINITION;

/// Set when the first module object is created and never cleared: a second
/// import in the process fails (module.cpp).
extern TARVU_HIDDEN std::atomic<bool> INITIALIZED;

/// The interned "__all__", made by the first module body (module.cpp).
extern TARVU_HIDDEN PyObject* ALL_NAME;

}  // namespace tarvu
