#pragma once
// The call guard: the one frame every call from the interpreter passes through.
//
// It keeps GIL_COUNT, POOL and OWNED_OBJECTS consistent, runs the body of the
// entry point, raises an error value, turns an internal fault into a
// PanicException, and holds every catch of the module but one: compose_message
// (error_value.cpp) turns a failed allocation into a MemoryError value.

#include <new>

#include "boundary/error_value.h"
#include "boundary/thread_state.h"

namespace tarvu {

/// The end of a fault that escapes the guard's fault catch: one raised while
/// opening or closing the guard or while making an error current. The call
/// cannot be finished, so fire() writes MESSAGE and aborts. Nothing is armed or
/// disarmed: the guard's outermost catches call fire(), and the success path
/// pays nothing for it.
struct PanicTrap {
    static constexpr const char MESSAGE[] = "uncaught panic at ffi boundary";
    [[noreturn]] static void fire() { abort_uncaught_fault(MESSAGE); }
};

/// The OWNED_OBJECTS mark of one call guard: the list's length when the guard
/// opened. The list needs no starting here: register_owned starts it on first
/// use, and a list destroyed at thread exit stays empty (registrations then go
/// to POOL), so its mark of 0 releases nothing.
///
/// It also keeps the thread's guard state, reached once when the guard opens:
/// the block stays where it is for the life of the thread.
class GILPool {
public:
    explicit GILPool(GuardThreadState& state) : state_(&state), mark_(state.owned_objects.length) {}

    GuardThreadState& state() const { return *state_; }

    /// Releases what was registered after the mark, oldest first.
    void close() {
        if (state_->owned_objects.length > mark_) [[unlikely]] {
            release_owned_after(mark_);
        }
    }

private:
    static void release_owned_after(size_t mark);
    GuardThreadState* state_;
    size_t mark_;
};

/// Refuses entry while GIL_COUNT is negative (a fault outside the fault catch).
[[noreturn]] void refuse_prohibited_gil_access(intptr_t count);

/// Steps taken on opening: raise GIL_COUNT, apply POOL, open the GILPool.
inline GILPool open_call_guard() {
    GuardThreadState& state = guard_thread_state();
    intptr_t count = state.gil_count;
    if (count < 0) [[unlikely]] {
        refuse_prohibited_gil_access(count);
    }
    state.gil_count = count + 1;
    update_counts();
    return GILPool(state);
}

/// Steps taken on closing: release the call's temporaries, lower GIL_COUNT.
inline void close_call_guard(GILPool& pool) {
    pool.close();
    pool.state().gil_count -= 1;
}

namespace detail {

/// Runs the body inside the fault catch: its result (a Result<PyObject*> or a
/// Status), or the error value that its error or fault becomes.
///
/// The catches name the types the module can throw (its faults and the
/// standard library's exceptions) and never catch everything: a thread that the
/// interpreter ends with pthread_exit (daemon threads at exit) unwinds through
/// here with a foreign exception that must reach the thread's start untouched.
/// For the same reason neither guard is noexcept.
template <class Body>
TARVU_GUARD_INLINING auto run_body(Body& body) -> decltype(body()) {
    try {
        return body();
    } catch (Fault& fault) {
        return ErrorValue::from_fault(std::move(fault));
    } catch (const std::bad_alloc&) {
        abort_on_allocation_failure();
    } catch (const std::exception&) {
        return ErrorValue::from_fault(Fault::without_text());
    }
}

/// Makes the error current, or the PanicException that a fault while composing
/// it becomes; kept out of line so that the success path of every entry point
/// stays small.
TARVU_COLD void raise_error(ErrorValue&& error);
TARVU_COLD void raise_unraisable(ErrorValue&& error);

}  // namespace detail

/// The call guard for entry points that return an object. `body` returns a new
/// reference or an error value; the guard returns the reference, or null with
/// exactly one exception set.
template <class Body>
TARVU_GUARD_INLINING PyObject* trampoline(Body&& body) {
    try {
        GILPool pool = open_call_guard();
        PyObject* result = nullptr;
        {
            // Gone before the guard closes, with nothing called in between on
            // success: the compiler then knows it holds no error to destroy.
            Result<PyObject*> outcome = detail::run_body(body);
            if (outcome.ok()) [[likely]] {
                result = outcome.value();
            } else {
                // Made current before the temporaries go.
                detail::raise_error(std::move(outcome).error());
            }
        }
        close_call_guard(pool);
        return result;
    } catch (const std::bad_alloc&) {
        abort_on_allocation_failure();
    } catch (const Fault&) {
        PanicTrap::fire();
    } catch (const std::exception&) {
        PanicTrap::fire();
    }
}

/// The call guard for deallocation: nothing is returned, and an error or fault
/// is reported as unraisable. Only the unusual deallocation comes here (see
/// LabelClass::tp_dealloc), so it is left to the compiler where to put it.
template <class Body>
void trampoline_unraisable(Body&& body) {
    try {
        GILPool pool = open_call_guard();
        {
            Status outcome = detail::run_body(body);
            if (!outcome.ok()) [[unlikely]] {
                detail::raise_unraisable(std::move(outcome).error());
            }
        }
        close_call_guard(pool);
    } catch (const std::bad_alloc&) {
        abort_on_allocation_failure();
    } catch (const Fault&) {
        PanicTrap::fire();
    } catch (const std::exception&) {
        PanicTrap::fire();
    }
}

}  // namespace tarvu
