// Throw sites: the connection to the capture library, which records the
// frames of every throw while it is loaded, and what records keep of them.
// The core library never links the capture library: it looks it up by name
// when it is loaded, so that either can be there without the other.

#include "StdException"
#include "Guard"
#include "Record.h"
#include "ThrowSite"
#include "ThrowSiteLink.h"

#include <cstring>
#include <exception>
#include <new>
#include <typeinfo>

#if defined(__linux__)
#    include <dlfcn.h>
#elif defined(_WIN32)
#    include <windows.h>
#endif

namespace Quorbel {

namespace {

// HoldsFrames: the core's hook on the throwing path. It tells whether the
// object being thrown is a record that holds frames already (a translation,
// or a copy of a record that was thrown before), which then keeps them.
// Elsewhere than on libstdc++ it says no: the throw is then recorded all the
// same, and GetThrowSite still prefers the frames that the record holds.
bool HoldsFrames(void* object, const std::type_info* type) {
#if defined(__GLIBCXX__)
    // The catch matching of the runtime: it allocates nothing and adjusts
    // the object's address to its StdException part.
    void* record = object;
    if (type == nullptr || !typeid(StdException).__do_catch(type, &record, 1)) return false;
    const RecordExtras* extras = RecordAccess::Extras(*static_cast<const StdException*>(record));
    return extras != nullptr && extras->site.Get() != nullptr;
#else
    (void)object;
    (void)type;
    return false;
#endif
}

const QuorbelCoreHooks coreHooks = {&HoldsFrames};

// Connection: the capture library's hooks, when it is loaded; it is told
// when this library goes, so that it never calls into an unloaded one.
class Connection {
public:
    Connection() : connect(nullptr), capture(nullptr) {
#if defined(__linux__)
        void* symbol = dlsym(RTLD_DEFAULT, QUORBEL_THROWSITES_CONNECT);
        if (symbol == nullptr) return;
        std::memcpy(&connect, &symbol, sizeof connect);
        capture = connect(&coreHooks);
#elif defined(_WIN32)
        // Loaded at all, the capture DLL is mapped before this one runs.
        HMODULE module = GetModuleHandleW(L"StdExceptionThrowSites.dll");
        FARPROC symbol =
            module != nullptr ? GetProcAddress(module, QUORBEL_THROWSITES_CONNECT) : nullptr;
        if (symbol == nullptr) return;
        std::memcpy(&connect, &symbol, sizeof connect);
        capture = connect(&coreHooks);
#endif
    }
    ~Connection() {
        if (connect != nullptr) connect(nullptr);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    const QuorbelCaptureHooks* Capture() const { return capture; }

private:
    QuorbelThrowSitesConnectFunction connect;
    const QuorbelCaptureHooks* capture;
};

const Connection connection;

// Acquired: the capture that the capture library holds for the live object
// at address object; empty when it holds none or is not loaded.
CaptureRef Acquired(const void* object, const std::type_info** type) {
    const QuorbelCaptureHooks* capture = connection.Capture();
    if (capture == nullptr || object == nullptr) return CaptureRef();
    return CaptureRef(capture->acquire(object, type));
}

// Resolved: the frames of a capture, as the capture library reads them.
std::vector<NativeFrame> Resolved(const CaptureRef& site) {
    std::vector<NativeFrame> frames;
    const QuorbelCaptureHooks* capture = connection.Capture();
    if (capture != nullptr && site.Get() != nullptr) capture->resolve(site.Get(), &frames);
    return frames;
}

// The object of the exception being handled, as the runtime holds it.
const void* CurrentExceptionObject() {
#if defined(__GLIBCXX__) || (defined(_LIBCPP_VERSION) && !defined(_LIBCPP_ABI_MICROSOFT))
    // The exception_ptr of libstdc++, and of libc++ on the Itanium C++ ABI,
    // is the address of the thrown object.
    const std::exception_ptr current = std::current_exception();
    const void* object = nullptr;
    static_assert(sizeof current == sizeof object, "exception_ptr holds one pointer");
    std::memcpy(&object, &current, sizeof object);
    return object;
#else
    return nullptr;
#endif
}

}  // namespace

CaptureRef::CaptureRef(const CaptureRef& other) : capture(other.capture) {
    if (capture != nullptr) connection.Capture()->retain(capture);
}

CaptureRef& CaptureRef::operator=(const CaptureRef& other) {
    CaptureRef copy(other);
    std::swap(capture, copy.capture);
    return *this;
}

CaptureRef::~CaptureRef() {
    if (capture != nullptr) connection.Capture()->release(capture);
}

// Copying the slot is best effort: a copy for which there is no memory goes
// without its frames and fields rather than fail, so that copying behaves as
// without the capture library. A slot that holds fields but no frames
// belongs to a record whose throw the capture library recorded itself.
void RecordAccess::CopyExtras(StdException& to, const StdException& from) {
    try {
        const RecordExtras* source = from.extras.get();
        to.extras.reset(source != nullptr ? new RecordExtras(*source) : nullptr);
        if (source != nullptr && source->site.Get() != nullptr) return;
        CaptureRef site = Acquired(dynamic_cast<const void*>(&from), nullptr);
        if (site.Get() != nullptr) Extras(to).site = site;
    } catch (const std::bad_alloc&) {
        to.extras.reset();
    }
}

void TakeThrowSite(StdException& e, const void* object, bool foreign) {
    try {
        const std::type_info* type = nullptr;
        CaptureRef site = Acquired(object, &type);
        if (site.Get() == nullptr) return;
        RecordExtras& extras = RecordAccess::Extras(e);
        extras.site = site;
        if (foreign && type != nullptr) extras.thrownType = ReadableTypeName(*type);
    } catch (const std::bad_alloc&) {
    }
}

void TakeCurrentThrowSite(StdException& translation) {
    TakeThrowSite(translation, CurrentExceptionObject(), true);
}

std::vector<NativeFrame> ThrowSiteOf(const void* object) {
    return Resolved(Acquired(object, nullptr));
}

std::vector<NativeFrame> GetThrowSite(const StdException& e) {
    const RecordExtras* extras = RecordAccess::Extras(e);
    if (extras != nullptr && extras->site.Get() != nullptr) return Resolved(extras->site);
    return ThrowSiteOf(dynamic_cast<const void*>(&e));
}

std::string GetThrownType(const StdException& e) {
    const RecordExtras* extras = RecordAccess::Extras(e);
    return extras != nullptr ? extras->thrownType : std::string();
}

bool ThrowSiteCaptureLoaded() { return connection.Capture() != nullptr; }

bool ThrowSitesActive() {
    const QuorbelCaptureHooks* capture = connection.Capture();
    return capture != nullptr && capture->active();
}

void SetDebugFileDirectories(const std::vector<std::string>& directories) {
    const QuorbelCaptureHooks* capture = connection.Capture();
    if (capture != nullptr) capture->setDebugDirectories(&directories);
}

void PauseThrowSites(bool pause) {
    const QuorbelCaptureHooks* capture = connection.Capture();
    if (capture != nullptr) capture->pause(pause);
}

std::uint64_t ThrowsWithoutFrames() {
    const QuorbelCaptureHooks* capture = connection.Capture();
    return capture != nullptr ? capture->dropped() : 0;
}

}  // namespace Quorbel
