#include "boundary/thread_state.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <cstdlib>

#include "boundary/fault.h"

namespace tarvu {

constinit TARVU_THREAD_LOCAL GuardThreadState GUARD_THREAD_STATE = {0, {nullptr, 0, 0, OwnedListState::Unused}};

#if TARVU_STATIC_TLS_OFFSET
std::atomic<intptr_t> GUARD_THREAD_STATE_OFFSET{0};

namespace {

std::atomic<bool> PLACEMENT_KNOWN{false};

/// The block's offset from the thread pointer if the loader placed it in
/// static TLS, where that offset is the same on every thread; else 0.
///
/// Asks the block's TLS descriptor (two words: resolver and argument) by
/// calling its resolver, as compiled code would. A static placement resolves
/// to the argument itself: the offset. A per-thread one resolves through the
/// argument, a record of the loader's that no offset can equal. Linked into an
/// executable, the linker turns the sequence into a constant offset and a
/// no-op, and the "descriptor" is that offset.
intptr_t static_block_offset(GuardThreadState& state) {
    const intptr_t* descriptor;
    intptr_t offset;
    uintptr_t saved_stack;
    // The resolver is called from a point the compiler does not know to be a
    // call: the stack is moved past the red zone and aligned for it. Resolvers
    // keep every general register but the result; glibc before 2.40 may lose
    // vector registers when it allocates the block, so those count as lost.
    asm volatile(
        "mov %%rsp, %[saved]\n\t"
        "sub $128, %%rsp\n\t"
        "and $-16, %%rsp\n\t"
        "lea tarvu_guard_thread_state@tlsdesc(%%rip), %%rax\n\t"
        "mov %%rax, %[descriptor]\n\t"
        "call *tarvu_guard_thread_state@tlscall(%%rax)\n\t"
        "mov %[saved], %%rsp"
        : "=a"(offset), [descriptor] "=&r"(descriptor), [saved] "=&r"(saved_stack)
        :
        : "cc", "memory", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
          "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
    char* thread_pointer;
    asm("mov %%fs:0, %0" : "=r"(thread_pointer));
    if (offset == 0 || offset != reinterpret_cast<char*>(&state) - thread_pointer) {
        return 0;
    }
    if (offset == reinterpret_cast<intptr_t>(descriptor) || descriptor[1] == offset) {
        return offset;
    }
    return 0;
}

}  // namespace

GuardThreadState& guard_thread_state_slow() {
    GuardThreadState& state = GUARD_THREAD_STATE;
    if (!PLACEMENT_KNOWN.load(std::memory_order_relaxed)) {
        GUARD_THREAD_STATE_OFFSET.store(static_block_offset(state), std::memory_order_relaxed);
        PLACEMENT_KNOWN.store(true, std::memory_order_relaxed);
    }
    return state;
}
#endif

namespace {

/// Runs at thread exit: frees the buffer and marks the list destroyed. A thread
/// that unwound first (glibc's pthread_exit) has no call guard open, so the
/// list is empty. musl's pthread_exit ends a thread without unwinding, leaving
/// the references of its open guards here: they are not released, since that
/// happens only at interpreter exit, on a thread that no longer holds the lock.
void destroy_owned_objects() {
    std::free(GUARD_THREAD_STATE.owned_objects.items);
    GUARD_THREAD_STATE.owned_objects = {nullptr, 0, 0, OwnedListState::Destroyed};
}

#if defined(_WIN32)
// A fiber-local slot's callback runs on the exiting thread before its
// thread-local storage is freed, as a pthread key's destructor does; a
// thread-local slot has no callback.
DWORD OWNED_OBJECTS_SLOT = FLS_OUT_OF_INDEXES;
INIT_ONCE OWNED_OBJECTS_SLOT_ONCE = INIT_ONCE_STATIC_INIT;

void WINAPI destroy_owned_objects_at_exit(void*) {
    destroy_owned_objects();
}

BOOL CALLBACK create_owned_objects_slot(INIT_ONCE*, void*, void**) {
    OWNED_OBJECTS_SLOT = FlsAlloc(&destroy_owned_objects_at_exit);
    return OWNED_OBJECTS_SLOT != FLS_OUT_OF_INDEXES ? TRUE : FALSE;
}

/// Makes destroy_owned_objects run when the calling thread exits.
void destroy_owned_objects_at_thread_exit() {
    // Any non-null value makes the callback run for this thread.
    if (InitOnceExecuteOnce(&OWNED_OBJECTS_SLOT_ONCE, &create_owned_objects_slot, nullptr, nullptr) == FALSE ||
        FlsSetValue(OWNED_OBJECTS_SLOT, &GUARD_THREAD_STATE.owned_objects) == FALSE) {
        abort_on_allocation_failure();
    }
}
#else
pthread_key_t OWNED_OBJECTS_KEY;
pthread_once_t OWNED_OBJECTS_KEY_ONCE = PTHREAD_ONCE_INIT;

void destroy_owned_objects_at_exit(void*) {
    destroy_owned_objects();
}

void create_owned_objects_key() {
    if (pthread_key_create(&OWNED_OBJECTS_KEY, &destroy_owned_objects_at_exit) != 0) {
        abort_on_allocation_failure();
    }
}

/// Makes destroy_owned_objects run when the calling thread exits.
void destroy_owned_objects_at_thread_exit() {
    pthread_once(&OWNED_OBJECTS_KEY_ONCE, &create_owned_objects_key);
    // Any non-null value makes the destructor run for this thread.
    if (pthread_setspecific(OWNED_OBJECTS_KEY, &GUARD_THREAD_STATE.owned_objects) != 0) {
        abort_on_allocation_failure();
    }
}
#endif

/// Makes the calling thread's list live, registering its per-thread destructor.
void start_owned_objects() {
    destroy_owned_objects_at_thread_exit();
    GUARD_THREAD_STATE.owned_objects.state = OwnedListState::Live;
}

void grow_owned_objects(OwnedObjects& list) {
    size_t capacity = list.capacity == 0 ? 16 : list.capacity * 2;
    void* items = std::realloc(list.items, capacity * sizeof(PyObject*));
    if (items == nullptr) {
        abort_on_allocation_failure();
    }
    list.items = static_cast<PyObject**>(items);
    list.capacity = capacity;
}

}  // namespace

void register_owned(PyObject* object) {
    GuardThreadState& state = GUARD_THREAD_STATE;
    OwnedObjects& list = state.owned_objects;
    if (state.gil_count <= 0 || list.state == OwnedListState::Destroyed) [[unlikely]] {
        // No guard here will release it (none is open, or the list is gone at
        // thread exit). The caller may still be using it, so it cannot go now:
        // the next guard to open, on any thread, releases it.
        queue_decref(object);
        return;
    }
    if (list.state == OwnedListState::Unused) {
        start_owned_objects();
    }
    if (list.length == list.capacity) {
        grow_owned_objects(list);
    }
    list.items[list.length++] = object;
}

}  // namespace tarvu
