#pragma once
// Each entry point is meant to compile to one function: its guard, its body and
// what the body calls on the success path. g++ inlines all of it by itself;
// clang, which builds the manylinux wheels, leaves the guard, the body lambda,
// the parse and the borrow as separate calls, several percent more
// instructions on the shortest calls. These mark the functions it must inline.
#define TARVU_FORCE_INLINE [[gnu::always_inline]] inline
#if defined(__clang__) && __clang_major__ >= 16
#define TARVU_INLINE_CALL [[clang::always_inline]]
#else
#define TARVU_INLINE_CALL
#endif
