// The Linux source of throws: at the unwinder's entry, the hook's registers
// and a copy of the top of the throwing thread's stack, unwound only when the
// frames are read (Unwinding.cpp).

#include "Interposition.h"
#include "Recording.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

namespace Quorbel {
namespace ThrowSites {

namespace {

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
    Thrown thrown;
    if (!ToRecord(header, &thrown)) return real;

    const std::uintptr_t top = registers->rsp;
    const StackBounds& stack = stackOfThisThread();
    const bool ownStack = top >= stack.low && top < stack.high;
    const std::size_t size = ownStack ? std::min(stackCopyLimit, stack.high - top) : stackCopyLimit;
    void* block = std::malloc(offsetof(Capture, stack) + size);
    if (block == nullptr) {
        CountDropped();
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
        CountDropped();
        return real;
    }
    capture->registers = *registers;
    capture->unwound = false;
    capture->truncated = false;
    capture->count = 0;
    capture->frames = nullptr;
    Publish(capture, thrown);
    return real;
}

}  // namespace ThrowSites
}  // namespace Quorbel
