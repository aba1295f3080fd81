// Starts the embedded interpreter once for the whole binary and never
// finalises it: the frame keeps process-wide cells (the PanicException type,
// interned names, type objects) that must outlive every test.

#include <gtest/gtest.h>

#include <cstdlib>

#include "boundary/compat.h"

#if defined(__SANITIZE_ADDRESS__)
// Everything the never-finalised interpreter holds at exit would count as
// leaked, in every run of the binary (test listing and death tests included).
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Death and fresh-process tests re-execute the binary instead of forking
    // a process whose interpreter state was left half-way by earlier tests.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#if defined(__SANITIZE_ADDRESS__)
    // Python objects through malloc, so that the sanitizer sees them.
    setenv("PYTHONMALLOC", "malloc", 0);
#endif
    Py_InitializeEx(0);
    return RUN_ALL_TESTS();
}
