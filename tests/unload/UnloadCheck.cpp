// Loads the plugin, lets it fill the library's module strategy slots, unloads
// it and checks that the library left the process, deleting the fallback
// strategy before the default strategy. This program must not link the
// library itself, or the library could never be unloaded.
//
// Usage: UnloadCheck PLUGIN LIBRARY-SONAME

#include <dlfcn.h>

#include <cstdio>
#include <string>

namespace {

std::string destroyed;

void Announce(const char* name) { destroyed += std::string(destroyed.empty() ? "" : ",") + name; }

int Fail(const char* what) {
    std::fprintf(stderr, "unload check failed: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return Fail("usage: UnloadCheck PLUGIN LIBRARY-SONAME");
    void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) return Fail(dlerror());
    typedef void (*Install)(void (*)(const char*));
    Install install = reinterpret_cast<Install>(dlsym(plugin, "InstallStrategies"));
    if (install == nullptr) return Fail(dlerror());
    install(&Announce);

    void* library = dlopen(argv[2], RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return Fail("the plugin did not load the library");
    dlclose(library);
    if (!destroyed.empty()) return Fail("a stored strategy was deleted before unload");

    dlclose(plugin);
    if (dlopen(argv[2], RTLD_NOW | RTLD_NOLOAD) != nullptr)
        return Fail("the library is still loaded after the plugin was closed");
    if (destroyed != "fallback,default") {
        std::fprintf(stderr, "destroyed at unload: '%s'\n", destroyed.c_str());
        return Fail("expected the fallback strategy, then the default strategy");
    }
    std::puts("library unloaded; strategies destroyed in the order fallback, default");
    return 0;
}
