// The recording on the throw path, whichever source of throws feeds it (the
// hook on the unwinder's entry on Linux, a vectored exception handler on
// Windows): one block from the free store per throw, found again by the
// thrown object's address in a table of live captures.
//
// The runtime is handed a destructor of this library's in place of the
// thrown type's own (the field of the exception's header that the runtime
// reads when the object dies): it drops the capture from the table when the
// object dies. The table is a fixed array of buckets, each a list behind a
// lock of its own held for a few instructions, so it holds as many captures
// as there are live exceptions.

#include "Recording.h"
#include "Interposition.h"
#include "Symbols.h"

#include "StdException/ThrowSite"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <unwind.h>

namespace Quorbel {
namespace ThrowSites {

namespace {

// The exception classes of the C++ runtimes' own exceptions: libstdc++'s
// "GNUCC++" and libc++abi's "CLNGC++", followed by 0 for a primary
// exception and 1 for a dependent one (std::rethrow_exception's).
constexpr std::uint64_t gnuClass = 0x474e5543432b2b00ull;
constexpr std::uint64_t clangClass = 0x434c4e47432b2b00ull;

// libstdc++'s header of a thrown object, which ends with the unwinder's
// header; the thrown object follows. Its fields' distances back from the
// unwinder's header are those of libc++abi's too on 64-bit targets, and on
// 32-bit ones, where libc++abi's reference count fills the padding that
// aligns libstdc++'s unwinder header. MinGW-w64's x86-64 unwinder header is
// longer, and 32-bit MinGW's destructor is called as a member function.
struct RuntimeHeader {
    const std::type_info* type;
    DestroyFunction destroy;
    void (*unexpectedHandler)();
    void (*terminateHandler)();
    RuntimeHeader* next;
    int handlerCount;  // negated while a rethrow unwinds
    int handlerSwitchValue;
    const unsigned char* actionRecord;
    const unsigned char* languageSpecificData;
    std::uintptr_t catchTemp;
    void* adjustedPtr;
    _Unwind_Exception unwinder;
};

constexpr std::ptrdiff_t backFromUnwinder(std::size_t offset) {
    return std::ptrdiff_t(offset) - std::ptrdiff_t(offsetof(RuntimeHeader, unwinder));
}
constexpr std::ptrdiff_t typeOffset = backFromUnwinder(offsetof(RuntimeHeader, type));
constexpr std::ptrdiff_t destroyOffset = backFromUnwinder(offsetof(RuntimeHeader, destroy));
constexpr std::ptrdiff_t handlerCountOffset =
    backFromUnwinder(offsetof(RuntimeHeader, handlerCount));
// As the runtimes' own code reads them: libstdc++'s __cxa_init_primary_exception
// on x86-64 and on i686.
static_assert(sizeof(void*) != 8 || (typeOffset == -80 && handlerCountOffset == -40),
              "the x86-64 layout of the runtime's header");
static_assert(sizeof(void*) != 4 || (typeOffset == -48 && handlerCountOffset == -28),
              "the i686 layout of the runtime's header");

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
            while (bucket.locked.load(std::memory_order_relaxed)) std::this_thread::yield();
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
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
void QUORBEL_THROWSITES_DESTROY_CALL destroyCaptured(void* object) {
    Capture* capture = takeOut(object);
    if (capture == nullptr) return;  // cannot happen: only recorded objects get here
    if (capture->destroy != nullptr) capture->destroy(object);
    Release(capture);
}
#pragma GCC diagnostic pop

}  // namespace

bool ToRecord(void* header, Thrown* thrown) {
    unsigned char* const bytes = static_cast<unsigned char*>(header);
    const std::uint64_t exceptionClass =
        static_cast<const _Unwind_Exception*>(header)->exception_class;
    if (paused.load(std::memory_order_relaxed) ||
        (exceptionClass != gnuClass && exceptionClass != clangClass))
        return false;
    // A rethrow (the runtime negates the count of handlers) keeps the first
    // throw's capture, as does a raise of an object recorded before.
    int handlers = 0;
    std::memcpy(&handlers, bytes + handlerCountOffset, sizeof handlers);
    DestroyFunction* const destroy = reinterpret_cast<DestroyFunction*>(bytes + destroyOffset);
    if (handlers != 0 || *destroy == &destroyCaptured) return false;
    thrown->object = bytes + sizeof(_Unwind_Exception);
    thrown->type = *reinterpret_cast<const std::type_info**>(bytes + typeOffset);
    thrown->destroy = destroy;
    const QuorbelCoreHooks* core = CoreHooks();
    return core == nullptr || core->holdsFrames == nullptr ||
           !core->holdsFrames(thrown->object, thrown->type);
}

void Publish(Capture* capture, const Thrown& thrown) {
    capture->references.store(1, std::memory_order_relaxed);
    capture->object = thrown.object;
    capture->type = thrown.type;
    capture->destroy = *thrown.destroy;
    Bucket& bucket = bucketOf(thrown.object);
    {
        BucketLock lock(bucket);
        capture->next = bucket.first;
        bucket.first = capture;
    }
    *thrown.destroy = &destroyCaptured;
}

void CountDropped() { droppedThrows.fetch_add(1, std::memory_order_relaxed); }

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
    if (capture->frames != reinterpret_cast<std::uintptr_t*>(capture->stack))
        std::free(capture->frames);
    capture->~Capture();
    std::free(capture);
}

void PauseRecording(bool pause) { paused.store(pause, std::memory_order_relaxed); }

std::uint64_t DroppedThrows() { return droppedThrows.load(std::memory_order_relaxed); }

namespace {

std::atomic<const QuorbelCoreHooks*> coreHooks{nullptr};

// The hooks that the connect function hands the core library, the same for
// every source of throws.
const QuorbelCaptureHooks captureHooks = {
    [](const void* object, const std::type_info** type) -> void* { return Acquire(object, type); },
    [](void* capture) { Retain(static_cast<Capture*>(capture)); },
    [](void* capture) { Release(static_cast<Capture*>(capture)); },
    [](void* capture, std::vector<NativeFrame>* out) {
        ResolveCapture(static_cast<Capture*>(capture), out);
    },
    &DroppedThrows,
    &SetDebugFileDirectories,
    &HookActive,
    &PauseRecording};

}  // namespace

const QuorbelCoreHooks* CoreHooks() { return coreHooks.load(std::memory_order_acquire); }

}  // namespace ThrowSites
}  // namespace Quorbel

// The library's entry point, which the core library finds by name.
#if defined(_WIN32)
#    define QUORBEL_THROWSITES_EXPORT __declspec(dllexport)
#else
#    define QUORBEL_THROWSITES_EXPORT __attribute__((visibility("default")))
#endif

// Connects the core library (null disconnects it) and hands it the hooks.
extern "C" QUORBEL_THROWSITES_EXPORT const QuorbelCaptureHooks* QuorbelThrowSitesConnect(
    const QuorbelCoreHooks* core) {
    Quorbel::ThrowSites::coreHooks.store(core, std::memory_order_release);
    return &Quorbel::ThrowSites::captureHooks;
}
