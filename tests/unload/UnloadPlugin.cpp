// A plugin that links the library and fills both module strategy slots with
// strategies whose clones announce their deletion.

#include <StdException/StdException>

#include <ostream>

namespace {

void (*announce)(const char* name) = nullptr;

struct AnnouncingStrategy : Quorbel::CReportingStrategy {
    AnnouncingStrategy(const char* name, bool isClone) : name(name), isClone(isClone) {}
    ~AnnouncingStrategy() override {
        if (isClone) announce(name);
    }
    AnnouncingStrategy* clone() const override { return new AnnouncingStrategy(name, true); }
    void Report(const Quorbel::StdException&) override {}
    std::ostream& Print(std::ostream& os) const override { return os << name; }
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
