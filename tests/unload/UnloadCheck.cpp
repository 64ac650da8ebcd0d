// Loads the plugin, which fills the library's two module strategy slots,
// unloads it and checks that the library left the process and deleted the
// fallback strategy before the default one. This program links nothing of
// the library, or the library could never leave.
//
// Usage: UnloadCheck PLUGIN LIBRARY (the library's soname, or its DLL's name)

#include <cstdio>
#include <string>

typedef void (*Install)(void (*announce)(const char*));

#if defined(_WIN32)
#    include <windows.h>
typedef HMODULE Module;
Module Open(const char* path) { return LoadLibraryA(path); }
// Through void (*)(), which converts to and from every function pointer.
Install Find(Module module) {
    return reinterpret_cast<Install>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "InstallStrategies")));
}
void Close(Module module) { FreeLibrary(module); }
bool Loaded(const char* name) { return GetModuleHandleA(name) != nullptr; }
#else
#    include <dlfcn.h>
typedef void* Module;
Module Open(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
Install Find(Module module) {
    return reinterpret_cast<Install>(dlsym(module, "InstallStrategies"));
}
void Close(Module module) { dlclose(module); }
bool Loaded(const char* name) {
    void* library =
        dlopen(name, RTLD_NOW | RTLD_NOLOAD);  // a new reference to the library, if it is loaded
    return library != nullptr && dlclose(library) == 0;
}
#endif

std::string deleted;

int Fail(const std::string& what) {
    return std::fprintf(stderr, "unload check failed: %s\n", what.c_str()), 1;
}

int main(int argc, char** argv) {
    if (argc != 3) return Fail("usage: UnloadCheck PLUGIN LIBRARY");
    const Module plugin = Open(argv[1]);
    const Install install = plugin != nullptr ? Find(plugin) : nullptr;
    if (install == nullptr) return Fail(std::string("cannot load the plugin ") + argv[1]);
    install([](const char* name) { deleted += std::string(name) + " "; });
    if (!Loaded(argv[2]) || !deleted.empty())
        return Fail("the plugin did not load the library, or it deleted '" + deleted + "'");
    Close(plugin);
    if (Loaded(argv[2])) return Fail("the library is still loaded after the plugin was closed");
    if (deleted != "fallback default ")
        return Fail("deleted at unload: '" + deleted +
                    "'; expected the fallback, then the default");
    return std::puts("library unloaded; strategies deleted in the order fallback, default") < 0;
}
