#pragma once
// Every compiler attribute the module uses, for the compilers it is built with
// (g++ and clang), in one place.

/// Kept out of line and laid out away from the hot paths: a slow path.
#define TARVU_COLD [[gnu::cold, gnu::noinline]]

/// Inlined into every caller, where the call's constant arguments shrink it.
#define TARVU_ALWAYS_INLINE [[gnu::always_inline]] inline

/// An entry point's body lambda, inlined into its guard by every compiler:
/// clang otherwise leaves the lambda as a call of its own.
#define TARVU_ENTRY_BODY __attribute__((always_inline))

/// The call guard and its fault catch, inlined into the entry point. g++ does
/// so unasked; clang leaves them out of line unless told, and telling g++ too
/// makes its comparisons longer.
#if defined(__clang__)
#define TARVU_GUARD_INLINING [[gnu::always_inline]] inline
#else
#define TARVU_GUARD_INLINING inline
#endif

/// Per-thread state in the general-dynamic TLS model. The module is loaded with
/// dlopen, where initial-exec TLS has to come out of the small static TLS
/// reserve that every native library in the process draws on (OpenMP
/// runtimes, imaging libraries), and the import fails outright once that is
/// used up. guard_thread_state() makes up most of the cost whenever the loader
/// did find room in static TLS.
#define TARVU_THREAD_LOCAL thread_local __attribute__((tls_model("global-dynamic")))

/// 1 on Linux on x86-64, the TLS ABI whose thread pointer and descriptors
/// guard_thread_state() relies on to reach a block in static TLS directly.
#if defined(__x86_64__) && defined(__linux__)
#define TARVU_STATIC_TLS_OFFSET 1
#else
#define TARVU_STATIC_TLS_OFFSET 0
#endif

// Symbol visibility, which PE does not have: there a symbol is exported by
// saying so, and everything else stays inside the DLL.
//
// TARVU_HIDDEN, on a declaration of the module's own data that a hot path
// reads: the compiler then addresses it directly rather than through the
// global offset table, one load less on every read (the linker keeps the
// module's data hidden anyway; a declaration alone does not tell the compiler
// so). On Windows it says nothing.
//
// TARVU_EXPORT: the shared object's one exported symbol (everything else is
// hidden by the version script, or on Windows not exported).
#if defined(_WIN32)
#define TARVU_HIDDEN
#define TARVU_EXPORT extern "C" __declspec(dllexport)
#else
#define TARVU_HIDDEN __attribute__((visibility("hidden")))
#define TARVU_EXPORT extern "C" __attribute__((visibility("default")))
#endif

/// Around a use of a declaration the interpreter's headers mark deprecated
/// that still behaves as the module needs.
#define TARVU_ALLOW_DEPRECATED_BEGIN \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"")
#define TARVU_ALLOW_DEPRECATED_END _Pragma("GCC diagnostic pop")
