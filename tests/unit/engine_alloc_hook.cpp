#include "engine_alloc_hook.h"

#include <cstdlib>
#include <new>

namespace {

bool counting = false;
long failIndex = -1;
long allocationCount = 0;
long liveCount = 0;

void* allocate(std::size_t size) noexcept {
    if (counting) {
        const long index = allocationCount++;
        if (index == failIndex) {
            return nullptr;
        }
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p != nullptr && counting) {
        ++liveCount;
    }
    return p;
}

void release(void* p) noexcept {
    if (p != nullptr && counting) {
        --liveCount;
    }
    std::free(p);
}

} // namespace

namespace solvantis::testing {

void beginAllocationWindow(long failAfter) {
    allocationCount = 0;
    liveCount = 0;
    failIndex = failAfter;
    counting = true;
}

AllocationStats endAllocationWindow() {
    counting = false;
    failIndex = -1;
    return AllocationStats{allocationCount, liveCount};
}

} // namespace solvantis::testing

void* operator new(std::size_t size) {
    void* p = allocate(size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](std::size_t size) {
    void* p = allocate(size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    release(p);
}
