// Loads the plugin, which fills the library's two module strategy slots,
// unloads it and checks that the library deleted the fallback strategy before
// the default one as it left the process. This program links nothing of the
// library, or the library could never leave.
//
// Usage: UnloadCheck PLUGIN

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
#else
#    include <dlfcn.h>
typedef void* Module;
Module Open(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
Install Find(Module module) {
    return reinterpret_cast<Install>(dlsym(module, "InstallStrategies"));
}
void Close(Module module) { dlclose(module); }
#endif

std::string deleted;

int Fail(const std::string& what) {
    std::fprintf(stderr, "unload check failed: %s\n", what.c_str());
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 2) return Fail("usage: UnloadCheck PLUGIN");
    const Module plugin = Open(argv[1]);
    const Install install = plugin != nullptr ? Find(plugin) : nullptr;
    if (install == nullptr) return Fail(std::string("cannot load the plugin ") + argv[1]);
    install([](const char* name) { deleted += std::string(name) + " "; });
    if (!deleted.empty()) return Fail("deleted before the unload: '" + deleted + "'");
    Close(plugin);
    if (deleted != "fallback default ")
        return Fail("deleted at unload: '" + deleted +
                    "'; expected the fallback, then the default");
    return std::puts("library unloaded; strategies deleted in the order fallback, default") < 0;
}
