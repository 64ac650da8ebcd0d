// ThrowSiteLink.h: how the core library and the throw-site capture library
// call each other. Neither links the other: when the core library is loaded it
// looks the capture library's connect function up by name and, if the
// capture library is there, hands over its hooks and gets the capture's.
// Internal to the two libraries, which are always built together; not installed.

#ifndef QUORBEL_THROWSITELINK_H
#define QUORBEL_THROWSITELINK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <typeinfo>
#include <vector>

namespace Quorbel {
struct NativeFrame;
}

extern "C" {

// The most frames that one throw records.
enum { QuorbelThrowSiteMaxFrames = 64 };

// What the core library offers the capture library.
struct QuorbelCoreHooks {
    // holdsFrames: whether the object being thrown, of type `type`, is a
    // family record that holds frames already, so that its stack need not be
    // walked. Called on the throwing path: allocates nothing, takes no lock.
    bool (*holdsFrames)(void* object, const std::type_info* type);
};

// What the capture library offers the core library.
struct QuorbelCaptureHooks {
    // lookup: copies up to max frames recorded for the live exception object
    // `object` (the address of the thrown object) into frames and returns how
    // many; 0 when it has none. *type gets the thrown type, or null.
    std::size_t (*lookup)(const void* object, std::uintptr_t* frames, std::size_t max,
                          const std::type_info** type);
    // resolve: appends to out one or more frames for each address, innermost
    // first (an address whose code was inlined gives the inlined frames first),
    // leaving out the capture machinery's own frames.
    void (*resolve)(const std::uintptr_t* frames, std::size_t count,
                    std::vector<Quorbel::NativeFrame>* out);
    // dropped: how many throws got no frames because the storage was full.
    std::uint64_t (*dropped)();
    // setDebugDirectories: the application's directories of debugging
    // information (SetDebugFileDirectories); null for none.
    void (*setDebugDirectories)(const std::vector<std::string>* directories);
};

// The capture library's connect function, exported under this name: called
// with the core's hooks when the core library is loaded, and with null when it
// is unloaded; returns the capture's hooks.
typedef const QuorbelCaptureHooks* (*QuorbelThrowSitesConnectFunction)(
    const QuorbelCoreHooks* core);
#define QUORBEL_THROWSITES_CONNECT "QuorbelThrowSitesConnect"

// The capture library's pause, exported under this name for measurements that
// compare throws with and without capture in one process: while paused
// (true), throws record nothing.
typedef void (*QuorbelThrowSitesPauseFunction)(bool pause);
#define QUORBEL_THROWSITES_PAUSE "QuorbelThrowSitesPause"
}

#endif
