#include "boundary/fault.h"

#include <cstdio>
#include <cstdlib>

#include "boundary/compat.h"

namespace tarvu {

void raise_fault(std::string_view text, SourceLocation where) {
    std::fprintf(stderr, "tarvu: internal fault at %s:%u: %.*s\n", where.file, where.line,
                 static_cast<int>(text.size()), text.data());
    throw Fault::with_text(std::string(text));
}

void resume_fault(std::string text) {
    throw Fault::with_text(std::move(text));
}

void api_call_failed(SourceLocation where) {
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    raise_fault("Python API call failed", where);
}

void abort_on_allocation_failure() {
    std::fputs("tarvu: memory allocation failed\n", stderr);
    std::abort();
}

void abort_uncaught_fault(const char* trap_message) {
    std::fprintf(stderr, "%s\n", trap_message);
    std::abort();
}

}  // namespace tarvu
