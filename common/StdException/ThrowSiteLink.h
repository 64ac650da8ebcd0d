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

// The most frames that are unwound for one throw.
enum { QuorbelThrowSiteMaxFrames = 64 };

// What the core library offers the capture library.
struct QuorbelCoreHooks {
    // holdsFrames: whether the object being thrown, of type `type`, is a
    // family record that holds frames already, so that its stack need not be
    // copied. Called on the throwing path: allocates nothing, takes no lock.
    bool (*holdsFrames)(void* object, const std::type_info* type);
};

// What the capture library offers the core library. A capture is what one
// throw recorded, shared by the thrown object and whoever holds a reference.
struct QuorbelCaptureHooks {
    // acquire: the capture of the live exception object `object` (the
    // address of the thrown object), with a reference for the caller; null
    // when it has none. *type gets the thrown type, or null.
    void* (*acquire)(const void* object, const std::type_info** type);
    // retain and release: one reference more, one less.
    void (*retain)(void* capture);
    void (*release)(void* capture);
    // resolve: appends to out the frames of the capture, innermost first (an
    // address whose code was inlined gives the inlined frames first), leaving
    // out the capture machinery's own; unwinds them on the first call.
    void (*resolve)(void* capture, std::vector<Quorbel::NativeFrame>* out);
    // dropped: how many throws got no frames (no memory for their capture).
    std::uint64_t (*dropped)();
    // setDebugDirectories: the application's directories of debugging
    // information (SetDebugFileDirectories); null for none.
    void (*setDebugDirectories)(const std::vector<std::string>* directories);
    // active: whether the throws of the process reach the capture.
    bool (*active)();
    // pause: while paused (true), throws record nothing (PauseThrowSites).
    void (*pause)(bool pause);
};

// The capture library's connect function, exported under this name: called
// with the core's hooks when the core library is loaded, and with null when it
// is unloaded; returns the capture's hooks.
typedef const QuorbelCaptureHooks* (*QuorbelThrowSitesConnectFunction)(
    const QuorbelCoreHooks* core);
#define QUORBEL_THROWSITES_CONNECT "QuorbelThrowSitesConnect"
}

#endif
