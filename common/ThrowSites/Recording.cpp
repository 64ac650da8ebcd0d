// The recording on the throw path: fixed storage for the frames of the
// exceptions alive at once, and the walk of the throwing thread's stack.
//
// A throw claims a free slot with a compare-exchange on its owner, probing
// from an index hashed from the object's address, and hands the runtime a
// destructor of its own that frees the slot when the exception object dies.
// Nothing here allocates or locks, so a throw can be captured anywhere.

#include "Recording.h"
#include "Interposition.h"

#include "StdException/ThrowSiteLink.h"

#include <algorithm>
#include <atomic>

#include <unwind.h>

namespace Quorbel {
namespace ThrowSites {

namespace {

constexpr std::size_t slotBits = 9;
constexpr std::size_t slotCount = std::size_t(1) << slotBits;  // 512 slots

struct alignas(64) Slot {
    // The thrown object that owns the slot; null while the slot is free.
    std::atomic<const void*> owner{nullptr};
    // Written by the throwing thread after the claim, before the object is
    // thrown; read only by whoever holds the live object.
    const std::type_info* type = nullptr;
    DestroyFunction destroy = nullptr;
    std::size_t count = 0;
    std::uintptr_t frames[QuorbelThrowSiteMaxFrames] = {};
};

Slot slots[slotCount];
// The farthest any claim has had to probe from its hashed index. A lookup
// probes no farther; it only grows, so a lookup never stops short.
std::atomic<std::size_t> longestProbe{0};
// Throws that found every slot taken.
std::atomic<std::uint64_t> droppedThrows{0};

std::size_t homeOf(const void* object) {
    std::uint64_t value = reinterpret_cast<std::uintptr_t>(object) >> 4;
    return static_cast<std::size_t>((value * 0x9E3779B97F4A7C15ull) >> (64 - slotBits));
}

Slot* claimSlot(const void* object) {
    std::size_t home = homeOf(object);
    for (std::size_t step = 0; step < slotCount; ++step) {
        Slot& slot = slots[(home + step) & (slotCount - 1)];
        const void* expected = nullptr;
        if (slot.owner.load(std::memory_order_relaxed) != nullptr ||
            !slot.owner.compare_exchange_strong(expected, object, std::memory_order_acquire,
                                                std::memory_order_relaxed))
            continue;
        std::size_t longest = longestProbe.load(std::memory_order_relaxed);
        while (longest < step &&
               !longestProbe.compare_exchange_weak(longest, step, std::memory_order_release,
                                                   std::memory_order_relaxed)) {
        }
        return &slot;
    }
    return nullptr;
}

Slot* findSlot(const void* object) {
    std::size_t home = homeOf(object);
    std::size_t longest = longestProbe.load(std::memory_order_acquire);
    for (std::size_t step = 0; step <= longest; ++step) {
        Slot& slot = slots[(home + step) & (slotCount - 1)];
        if (slot.owner.load(std::memory_order_acquire) == object) return &slot;
    }
    return nullptr;
}

// The destructor handed to the runtime in place of the thrown type's own:
// called once, on whatever thread drops the last reference to the object.
void releaseSlot(void* object) {
    Slot* slot = findSlot(object);
    if (slot == nullptr) return;  // cannot happen: only claimed objects get here
    if (slot->destroy != nullptr) slot->destroy(object);
    slot->owner.store(nullptr, std::memory_order_release);
}

struct Walk {
    std::uintptr_t* frames;
    std::size_t count;
    bool pastOwnCode;
    bool pastFront;
};

_Unwind_Reason_Code recordFrame(_Unwind_Context* context, void* argument) {
    Walk& walk = *static_cast<Walk*>(argument);
    int beforeInstruction = 0;
    std::uintptr_t address = _Unwind_GetIPInfo(context, &beforeInstruction);
    if (address == 0) return _URC_END_OF_STACK;
    // A signal frame holds the interrupted instruction itself; one past it
    // reads like the return address of every other frame.
    if (beforeInstruction) ++address;
    if (!walk.pastOwnCode) {
        if (InOwnCode(address)) return _URC_NO_REASON;
        walk.pastOwnCode = true;
    }
    if (!walk.pastFront) {
        walk.pastFront = true;
        if (address > frontLow.load(std::memory_order_relaxed) &&
            address <= frontHigh.load(std::memory_order_relaxed))
            return _URC_NO_REASON;
    }
    walk.frames[walk.count++] = address;
    return walk.count < QuorbelThrowSiteMaxFrames ? _URC_NO_REASON : _URC_NORMAL_STOP;
}

// The stack below the throw, innermost first, without this library's frames
// and without the interceptor in front of it.
__attribute__((noinline)) std::size_t recordStack(std::uintptr_t* frames) {
    Walk walk = {frames, 0, false, false};
    _Unwind_Backtrace(&recordFrame, &walk);
    return walk.count;
}

}  // namespace

DestroyFunction RecordThrow(void* object, const std::type_info* type, DestroyFunction destroy) {
    Slot* slot = claimSlot(object);
    if (slot == nullptr) {
        droppedThrows.fetch_add(1, std::memory_order_relaxed);
        return destroy;
    }
    slot->type = type;
    slot->destroy = destroy;
    slot->count = recordStack(slot->frames);
    return &releaseSlot;
}

std::size_t LookupFrames(const void* object, std::uintptr_t* frames, std::size_t max,
                         const std::type_info** type) {
    if (type != nullptr) *type = nullptr;
    const Slot* slot = object != nullptr ? findSlot(object) : nullptr;
    if (slot == nullptr) return 0;
    std::size_t count = std::min(slot->count, max);
    std::copy(slot->frames, slot->frames + count, frames);
    if (type != nullptr) *type = slot->type;
    return count;
}

std::uint64_t DroppedThrows() { return droppedThrows.load(std::memory_order_relaxed); }

}  // namespace ThrowSites
}  // namespace Quorbel
