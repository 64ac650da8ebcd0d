#include "FailingAllocator.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace failing_allocator {

namespace {

long countdown = 0;  // allocations left up to the failing one; 0: disarmed
bool failed = false;
long live = 0;

// A new block, or null when the armed failure hits or memory runs out;
// orThrow turns null into std::bad_alloc.
void* Allocate(std::size_t size, std::size_t alignment, bool orThrow) {
    void* block = nullptr;
    if (countdown > 0 && --countdown == 0)
        failed = true;
    else if (alignment <= alignof(std::max_align_t))
        block = std::malloc(size > 0 ? size : 1);
    else
        block = std::aligned_alloc(alignment, (size / alignment + 1) * alignment);
    if (block != nullptr) ++live;
    if (block == nullptr && orThrow) throw std::bad_alloc();
    return block;
}

void Release(void* block) noexcept {
    if (block != nullptr) --live;
    std::free(block);
}

}  // namespace

void FailNthAllocation(long n) {
    countdown = n;
    failed = false;
}
void Disarm() { countdown = 0; }
bool Failed() { return failed; }
long LiveAllocations() { return live; }

}  // namespace failing_allocator

using failing_allocator::Allocate;
using failing_allocator::Release;
using std::align_val_t;
using std::nothrow_t;
using std::size_t;

void* operator new(size_t n) { return Allocate(n, 0, true); }
void* operator new[](size_t n) { return Allocate(n, 0, true); }
void* operator new(size_t n, const nothrow_t&) noexcept { return Allocate(n, 0, false); }
void* operator new[](size_t n, const nothrow_t&) noexcept { return Allocate(n, 0, false); }
void* operator new(size_t n, align_val_t a) { return Allocate(n, size_t(a), true); }
void* operator new[](size_t n, align_val_t a) { return Allocate(n, size_t(a), true); }
void* operator new(size_t n, align_val_t a, const nothrow_t&) noexcept {
    return Allocate(n, size_t(a), false);
}
void* operator new[](size_t n, align_val_t a, const nothrow_t&) noexcept {
    return Allocate(n, size_t(a), false);
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }
void operator delete(void* p, const nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const nothrow_t&) noexcept { Release(p); }
void operator delete(void* p, align_val_t) noexcept { Release(p); }
void operator delete[](void* p, align_val_t) noexcept { Release(p); }
void operator delete(void* p, size_t, align_val_t) noexcept { Release(p); }
void operator delete[](void* p, size_t, align_val_t) noexcept { Release(p); }
void operator delete(void* p, align_val_t, const nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, align_val_t, const nothrow_t&) noexcept { Release(p); }
