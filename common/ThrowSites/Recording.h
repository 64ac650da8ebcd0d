// Recording.h: the recording on the throw path (Recording.cpp): the frames of
// every throw, kept in fixed storage for as long as the thrown object lives.
// Nothing here allocates or locks. Internal to the capture library.

#ifndef QUORBEL_THROWSITES_RECORDING_H
#define QUORBEL_THROWSITES_RECORDING_H

#include <cstddef>
#include <cstdint>
#include <typeinfo>

namespace Quorbel {
namespace ThrowSites {

typedef void (*DestroyFunction)(void*);

// Records the stack below the throw of object, of type type, whose
// destructor is destroy; returns the destructor to hand to the runtime in
// its place, which frees the record with the object. Where the storage is
// full nothing is recorded, the throw is counted and destroy is returned.
DestroyFunction RecordThrow(void* object, const std::type_info* type, DestroyFunction destroy);

// Copies up to max frames recorded for the live object into frames and
// returns how many; *type (if given) gets the thrown type, or null.
std::size_t LookupFrames(const void* object, std::uintptr_t* frames, std::size_t max,
                         const std::type_info** type);

// How many throws found the storage full.
std::uint64_t DroppedThrows();

}  // namespace ThrowSites
}  // namespace Quorbel

#endif
