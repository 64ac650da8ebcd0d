// A plugin that links the library and fills both module strategy slots with
// strategies whose clones announce their deletion.

#include <StdException/Strategies>

namespace {

void (*announce)(const char* name) = nullptr;

struct AnnouncingStrategy : Quorbel::CallbackReportingStrategy {
    AnnouncingStrategy(const char* name, bool isClone)
        : CallbackReportingStrategy(nullptr), name(name), isClone(isClone) {}
    ~AnnouncingStrategy() override { isClone ? announce(name) : void(); }
    AnnouncingStrategy* clone() const override { return new AnnouncingStrategy(name, true); }
    const char* name;
    bool isClone;
};

}  // namespace

#if defined(_WIN32)
extern "C" __declspec(dllexport)
#else
extern "C" __attribute__((visibility("default")))
#endif
    void InstallStrategies(void (*announceDeletion)(const char*)) {
    announce = announceDeletion;
    const AnnouncingStrategy defaultStrategy("default", false), fallbackStrategy("fallback", false);
    Quorbel::StdException::SetDefaultReportingStrategy(&defaultStrategy);
    Quorbel::StdException::SetFallbackReportingStrategy(&fallbackStrategy);
}
