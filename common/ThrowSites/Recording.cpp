// The recording on the throw path: at the unwinder's entry, one block from
// the free store holding the registers and a copy of the top of the stack,
// found again by the thrown object's address in a table of live captures.
//
// The runtime is handed a destructor of this library's in place of the
// thrown type's own (the field of the exception's header that the runtime
// reads when the object dies): it drops the capture from the table when the
// object dies. The table is a fixed array of buckets, each a list behind a
// lock of its own held for a few instructions, so it holds as many captures
// as there are live exceptions.

#include "Recording.h"
#include "Interposition.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unwind.h>

namespace Quorbel {
namespace ThrowSites {

namespace {

// The exception classes of the C++ runtimes' own exceptions: libstdc++'s
// "GNUCC++" and libc++abi's "CLNGC++", followed by 0 for a primary
// exception and 1 for a dependent one (std::rethrow_exception's).
constexpr std::uint64_t gnuClass = 0x474e5543432b2b00ull;
constexpr std::uint64_t clangClass = 0x434c4e47432b2b00ull;

// Both runtimes put their header just before the unwinder's, with the same
// layout on x86-64: these are its fields' offsets back from the unwinder's
// header. The thrown object follows the unwinder's header.
constexpr std::ptrdiff_t typeOffset = -80;
constexpr std::ptrdiff_t destroyOffset = -72;
constexpr std::ptrdiff_t handlerCountOffset = -40;

constexpr std::size_t bucketBits = 10;
constexpr std::size_t bucketCount = std::size_t(1) << bucketBits;

struct alignas(64) Bucket {
    std::atomic<bool> locked{false};
    Capture* first = nullptr;
};

Bucket buckets[bucketCount];
std::atomic<std::uint64_t> droppedThrows{0};
std::atomic<bool> paused{false};

Bucket& bucketOf(const void* object) {
    std::uint64_t value = reinterpret_cast<std::uintptr_t>(object) >> 4;
    return buckets[(value * 0x9E3779B97F4A7C15ull) >> (64 - bucketBits)];
}

// Holds a bucket's lock for its lifetime.
class BucketLock {
public:
    explicit BucketLock(Bucket& bucket) : bucket(bucket) {
        while (bucket.locked.exchange(true, std::memory_order_acquire))
            while (bucket.locked.load(std::memory_order_relaxed)) sched_yield();
    }
    ~BucketLock() { bucket.locked.store(false, std::memory_order_release); }
    BucketLock(const BucketLock&) = delete;
    BucketLock& operator=(const BucketLock&) = delete;

private:
    Bucket& bucket;
};

// Takes the capture of object out of the table; null if it has none.
Capture* takeOut(const void* object) {
    Bucket& bucket = bucketOf(object);
    BucketLock lock(bucket);
    for (Capture** link = &bucket.first; *link != nullptr; link = &(*link)->next) {
        Capture* capture = *link;
        if (capture->object != object) continue;
        *link = capture->next;
        capture->object = nullptr;
        return capture;
    }
    return nullptr;
}

// The destructor handed to the runtime: called once, on whatever thread
// drops the last reference to the object.
void destroyCaptured(void* object) {
    Capture* capture = takeOut(object);
    if (capture == nullptr) return;  // cannot happen: only recorded objects get here
    if (capture->destroy != nullptr) capture->destroy(object);
    Release(capture);
}

// The bounds of the calling thread's stack, found on its first throw.
struct StackBounds {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    bool known = false;
};
thread_local StackBounds threadStack;

const StackBounds& stackOfThisThread() {
    StackBounds& bounds = threadStack;
    // A failure (no memory to read the main thread's mappings) is tried
    // again at the next throw.
    pthread_attr_t attributes;
    if (!bounds.known && pthread_getattr_np(pthread_self(), &attributes) == 0) {
        void* low = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
            bounds.low = reinterpret_cast<std::uintptr_t>(low);
            bounds.high = bounds.low + size;
            bounds.known = true;
        }
        pthread_attr_destroy(&attributes);
    }
    return bounds;
}

// Copies what can be read of [from, from + size) to to, page by page, for a
// stack that is not the thread's own (a coroutine's, a signal handler's):
// the copy ends at the first page that is not mapped. Returns the bytes copied.
std::size_t copyReadable(unsigned char* to, std::uintptr_t from, std::size_t size) {
    const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    iovec local = {to, size};
    iovec remote[stackCopyLimit / 4096 + 2];
    std::size_t pieces = 0;
    for (std::uintptr_t at = from, end = from + size; at < end && pieces < std::size(remote);) {
        const std::uintptr_t next = std::min(end, (at / page + 1) * page);
        remote[pieces++] = {reinterpret_cast<void*>(at), next - at};
        at = next;
    }
    const ssize_t copied = process_vm_readv(getpid(), &local, 1, remote, pieces, 0);
    return copied > 0 ? static_cast<std::size_t>(copied) : 0;
}

}  // namespace

extern "C" void* QuorbelRecordRaise(void* header, const Registers* registers) {
    void* real = RealRaise();
    unsigned char* const bytes = static_cast<unsigned char*>(header);
    const std::uint64_t exceptionClass =
        static_cast<const _Unwind_Exception*>(header)->exception_class;
    if (paused.load(std::memory_order_relaxed) ||
        (exceptionClass != gnuClass && exceptionClass != clangClass))
        return real;
    // A rethrow (the runtime negates the count of handlers) keeps the first
    // throw's capture, as does a raise of an object recorded before.
    int handlers = 0;
    std::memcpy(&handlers, bytes + handlerCountOffset, sizeof handlers);
    DestroyFunction* const destroy = reinterpret_cast<DestroyFunction*>(bytes + destroyOffset);
    if (handlers != 0 || *destroy == &destroyCaptured) return real;
    void* const object = bytes + sizeof(_Unwind_Exception);
    const std::type_info* type = *reinterpret_cast<const std::type_info**>(bytes + typeOffset);
    const QuorbelCoreHooks* core = CoreHooks();
    if (core != nullptr && core->holdsFrames != nullptr && core->holdsFrames(object, type))
        return real;

    const std::uintptr_t top = registers->rsp;
    const StackBounds& stack = stackOfThisThread();
    const bool ownStack = top >= stack.low && top < stack.high;
    const std::size_t size = ownStack ? std::min(stackCopyLimit, stack.high - top) : stackCopyLimit;
    void* block = std::malloc(offsetof(Capture, stack) + size);
    if (block == nullptr) {
        droppedThrows.fetch_add(1, std::memory_order_relaxed);
        return real;
    }
    Capture* capture = new (block) Capture;
    capture->stackBytes = size;
    if (ownStack)
        std::memcpy(capture->stack, reinterpret_cast<const void*>(top), size);
    else
        capture->stackBytes = copyReadable(capture->stack, top, size);
    if (capture->stackBytes == 0) {
        std::free(block);
        droppedThrows.fetch_add(1, std::memory_order_relaxed);
        return real;
    }
    capture->references.store(1, std::memory_order_relaxed);
    capture->object = object;
    capture->type = type;
    capture->destroy = *destroy;
    capture->registers = *registers;
    capture->unwound = false;
    capture->truncated = false;
    capture->count = 0;
    capture->frames = nullptr;
    Bucket& bucket = bucketOf(object);
    {
        BucketLock lock(bucket);
        capture->next = bucket.first;
        bucket.first = capture;
    }
    *destroy = &destroyCaptured;
    return real;
}

Capture* Acquire(const void* object, const std::type_info** type) {
    if (type != nullptr) *type = nullptr;
    if (object == nullptr) return nullptr;
    Bucket& bucket = bucketOf(object);
    BucketLock lock(bucket);
    for (Capture* capture = bucket.first; capture != nullptr; capture = capture->next) {
        if (capture->object != object) continue;
        capture->references.fetch_add(1, std::memory_order_relaxed);
        if (type != nullptr) *type = capture->type;
        return capture;
    }
    return nullptr;
}

void Retain(Capture* capture) { capture->references.fetch_add(1, std::memory_order_relaxed); }

void Release(Capture* capture) {
    if (capture->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    std::free(capture->frames);
    capture->~Capture();
    std::free(capture);
}

void PauseRecording(bool pause) { paused.store(pause, std::memory_order_relaxed); }

std::uint64_t DroppedThrows() { return droppedThrows.load(std::memory_order_relaxed); }

}  // namespace ThrowSites
}  // namespace Quorbel
