#pragma once
// The call guard: the one frame every call from the interpreter passes through.
//
// It keeps GIL_COUNT, POOL and OWNED_OBJECTS consistent, runs the body of the
// entry point, raises an error value, turns an internal fault into a
// PanicException, and holds the module's only catch.

#include <new>
#include <optional>

#include "boundary/error_value.h"
#include "boundary/reference_pool.h"
#include "boundary/thread_state.h"

namespace tarvu {

/// Armed for the whole of a call guard; fires when a fault escapes the guard's
/// fault catch, which no call can survive.
struct PanicTrap {
    static constexpr const char MESSAGE[] = "uncaught panic at ffi boundary";
    [[noreturn]] static void fire() { abort_uncaught_fault(MESSAGE); }
};

/// The OWNED_OBJECTS mark of one call guard: the list's length when the guard
/// opened, or no mark when the list was already destroyed.
class GILPool {
public:
    static constexpr size_t NO_MARK = static_cast<size_t>(-1);

    GILPool() {
        switch (OWNED_OBJECTS.state) {
            case OwnedListState::Live:
                mark_ = OWNED_OBJECTS.length;
                break;
            case OwnedListState::Unused:
                start_owned_objects();
                mark_ = 0;
                break;
            case OwnedListState::Destroyed:
                mark_ = NO_MARK;
                break;
        }
    }

    /// Releases what was registered after the mark, oldest first.
    void close() {
        if (mark_ != NO_MARK && OWNED_OBJECTS.length > mark_) {
            release_owned_after(mark_);
        }
    }

    size_t mark() const { return mark_; }

private:
    static void release_owned_after(size_t mark);
    size_t mark_;
};

/// Refuses entry while GIL_COUNT is negative (a fault outside the fault catch).
[[noreturn]] void refuse_prohibited_gil_access(intptr_t count);

/// Steps taken on opening: raise GIL_COUNT, apply POOL, open the GILPool.
inline GILPool open_call_guard() {
    intptr_t count = GIL_COUNT;
    if (count < 0) [[unlikely]] {
        refuse_prohibited_gil_access(count);
    }
    GIL_COUNT = count + 1;
    update_counts();
    return GILPool();
}

/// Steps taken on closing: release the call's temporaries, lower GIL_COUNT.
inline void close_call_guard(GILPool& pool) {
    pool.close();
    GIL_COUNT -= 1;
}

namespace detail {

/// Runs the body inside the fault catch; returns its result, or null with the
/// error or fault left in `error`.
template <class Body>
inline PyObject* run_body(Body& body, std::optional<ErrorValue>& error) {
    try {
        Result<PyObject*> result = body();
        if (result.ok()) [[likely]] {
            return result.value();
        }
        error.emplace(std::move(result).error());
    } catch (const Fault& fault) {
        error.emplace(ErrorValue::from_fault(fault));
    } catch (const std::bad_alloc&) {
        abort_on_allocation_failure();
    } catch (...) {
        error.emplace(ErrorValue::from_fault(Fault::without_text()));
    }
    return nullptr;
}

template <class Body>
inline Status run_unit_body(Body& body, std::optional<ErrorValue>& error) {
    try {
        Status status = body();
        if (status.ok()) {
            return Ok{};
        }
        error.emplace(std::move(status).error());
    } catch (const Fault& fault) {
        error.emplace(ErrorValue::from_fault(fault));
    } catch (const std::bad_alloc&) {
        abort_on_allocation_failure();
    } catch (...) {
        error.emplace(ErrorValue::from_fault(Fault::without_text()));
    }
    return Ok{};
}

}  // namespace detail

/// The call guard for entry points that return an object. `body` returns a new
/// reference or an error value; the guard returns the reference, or null with
/// exactly one exception set.
template <class Body>
PyObject* trampoline(Body&& body) noexcept {
    try {
        GILPool pool = open_call_guard();
        std::optional<ErrorValue> error;
        PyObject* result = detail::run_body(body, error);
        if (error) [[unlikely]] {
            // The exception is made current before the temporaries go.
            std::move(*error).raise();
        }
        close_call_guard(pool);
        return result;
    } catch (const std::bad_alloc&) {
        abort_on_allocation_failure();
    } catch (...) {
        PanicTrap::fire();
    }
}

/// The call guard for deallocation: nothing is returned, and an error or fault
/// is reported as unraisable.
template <class Body>
void trampoline_unraisable(Body&& body) noexcept {
    try {
        GILPool pool = open_call_guard();
        std::optional<ErrorValue> error;
        (void)detail::run_unit_body(body, error);
        if (error) [[unlikely]] {
            std::move(*error).raise();
            PyErr_WriteUnraisable(nullptr);
        }
        close_call_guard(pool);
    } catch (const std::bad_alloc&) {
        abort_on_allocation_failure();
    } catch (...) {
        PanicTrap::fire();
    }
}

}  // namespace tarvu
