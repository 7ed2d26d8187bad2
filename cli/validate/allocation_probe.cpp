#include "validate/allocation_probe.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

// Address and thread sanitizers bring their own allocator; they report to hooks instead.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SOLVANTIS_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define SOLVANTIS_SANITIZER_ALLOCATOR 1
#endif
#endif

#ifdef SOLVANTIS_SANITIZER_ALLOCATOR
#include <mutex>
// The sanitizer runtime's allocation hooks (not every compiler ships the header that declares them).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, size_t),
                                                         void (*onFree)(const volatile void*));
#endif

namespace solvantis::validation {

namespace {

// Off for the whole program until a check counts; then each thread decides for itself.
std::atomic<bool> probeOn{false};
std::atomic<int64_t> allocations{0};
std::atomic<int64_t> frees{0};
std::atomic<size_t> firstSize{0};
std::atomic<const char*> firstCall{nullptr};

// For the calling thread: counting at all, inside an audio call now, paused during a host request.
thread_local bool threadCounts = false;
thread_local bool inAudioCall = false;
thread_local int requestDepth = 0;
thread_local const char* currentCall = nullptr;

inline bool counting() {
    return probeOn.load(std::memory_order_relaxed) && threadCounts && inAudioCall && requestDepth == 0;
}

inline void allocated(size_t size) {
    if (counting()) {
        if (allocations.fetch_add(1, std::memory_order_relaxed) == 0) {
            firstSize.store(size, std::memory_order_relaxed);
            firstCall.store(currentCall, std::memory_order_relaxed);
        }
    }
}

inline void freed(const void* pointer) {
    if (pointer != nullptr && counting()) {
        frees.fetch_add(1, std::memory_order_relaxed);
    }
}

#ifdef SOLVANTIS_SANITIZER_ALLOCATOR
void onMalloc(const volatile void*, size_t size) {
    allocated(size);
}
void onFree(const volatile void* pointer) {
    freed(const_cast<const void*>(pointer));
}
#endif

} // namespace

void startAllocationCount() {
#ifdef SOLVANTIS_SANITIZER_ALLOCATOR
    static std::once_flag installed;
    std::call_once(installed, [] { __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree); });
#endif
    allocations = 0;
    frees = 0;
    firstSize = 0;
    firstCall = nullptr;
    threadCounts = true;
    probeOn = true;
}

AllocationCount stopAllocationCount() {
    threadCounts = false;
    probeOn = false;
    return {allocations.load(), frees.load(), firstSize.load(), firstCall.load()};
}

void allocationCallEntered(const char* call, bool audio) {
    currentCall = call;
    inAudioCall = audio;
}

void allocationCallLeft() {
    inAudioCall = false;
}

void allocationRequestStarted() {
    ++requestDepth;
}

void allocationRequestFinished() {
    --requestDepth;
}

} // namespace solvantis::validation

#ifndef SOLVANTIS_SANITIZER_ALLOCATOR
// The C library's allocator under the standard names: every allocation in the program, the plug-in's
// included, passes through here first. C++ allocations end up in malloc too.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);

void* malloc(size_t size) noexcept {
    solvantis::validation::allocated(size);
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
    solvantis::validation::allocated(count * size);
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) noexcept {
    solvantis::validation::allocated(size);
    return __libc_realloc(pointer, size);
}

void free(void* pointer) noexcept {
    solvantis::validation::freed(pointer);
    __libc_free(pointer);
}

void* memalign(size_t alignment, size_t size) noexcept {
    solvantis::validation::allocated(size);
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
    solvantis::validation::allocated(size);
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) noexcept {
    if (alignment == 0 || (alignment & (alignment - 1)) != 0 || alignment % sizeof(void*) != 0) {
        return EINVAL;
    }
    solvantis::validation::allocated(size);
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr) {
        return ENOMEM;
    }
    *result = pointer;
    return 0;
}
}
#endif
