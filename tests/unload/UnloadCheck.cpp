// Loads the plugin, lets it fill the library's module strategy slots, unloads
// it and checks that the library left the process, deleting the fallback
// strategy before the default strategy. This program must not link the
// library itself, or the library could never be unloaded.
//
// Usage: UnloadCheck PLUGIN LIBRARY-SONAME (on Windows: PLUGIN LIBRARY-DLL-NAME)

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <string>

// Under the address sanitizer, leaks are looked for before the library is
// unloaded: a report made after unloading could not name the frames that
// allocated the lost blocks.
#if defined(__SANITIZE_ADDRESS__)
#define UNLOAD_CHECK_LEAKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNLOAD_CHECK_LEAKS 1
#endif
#endif
#if defined(UNLOAD_CHECK_LEAKS)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

std::string destroyed;

void Announce(const char* name) { destroyed += std::string(destroyed.empty() ? "" : ",") + name; }

int Fail(const char* what) {
    std::fprintf(stderr, "unload check failed: %s\n", what);
    return 1;
}

// The loader calls of the check, on Windows and elsewhere.
typedef void (*Install)(void (*)(const char*));
#if defined(_WIN32)
typedef HMODULE Module;
Module Load(const char* path) { return LoadLibraryA(path); }
const char* LoadError() { return "LoadLibrary or GetProcAddress failed"; }
Install FindInstall(Module module) {
    // Through void (*)(), which converts to and from every function pointer.
    return reinterpret_cast<Install>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "InstallStrategies")));
}
void Unload(Module module) { FreeLibrary(module); }
bool IsLoaded(const char* name) { return GetModuleHandleA(name) != nullptr; }
#else
typedef void* Module;
Module Load(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
const char* LoadError() { return dlerror(); }
Install FindInstall(Module module) {
    return reinterpret_cast<Install>(dlsym(module, "InstallStrategies"));
}
void Unload(Module module) { dlclose(module); }
bool IsLoaded(const char* name) {
    void* library = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
    if (library != nullptr) dlclose(library);
    return library != nullptr;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return Fail("usage: UnloadCheck PLUGIN LIBRARY-SONAME");
    Module plugin = Load(argv[1]);
    if (plugin == nullptr) return Fail(LoadError());
    Install install = FindInstall(plugin);
    if (install == nullptr) return Fail(LoadError());
    install(&Announce);

    if (!IsLoaded(argv[2])) return Fail("the plugin did not load the library");
    if (!destroyed.empty()) return Fail("a stored strategy was deleted before unload");

#if defined(UNLOAD_CHECK_LEAKS)
    __lsan_do_leak_check();  // ends the process if something leaked
#endif
    Unload(plugin);
    if (IsLoaded(argv[2]))
        return Fail("the library is still loaded after the plugin was closed");
    if (destroyed != "fallback,default") {
        std::fprintf(stderr, "destroyed at unload: '%s'\n", destroyed.c_str());
        return Fail("expected the fallback strategy, then the default strategy");
    }
    std::puts("library unloaded; strategies destroyed in the order fallback, default");
    return 0;
}
