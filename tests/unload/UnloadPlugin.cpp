// A plugin that links the library and fills both module strategy slots with
// strategies whose clones announce their destruction through a callback.

#include <StdException/StdException>

#include <ostream>
#include <string>

namespace {

typedef void (*Announce)(const char* name);

class AnnouncingStrategy : public Quorbel::CReportingStrategy {
public:
    AnnouncingStrategy(const char* name, Announce announce)
        : name(name), announce(announce), isClone(false) {}
    AnnouncingStrategy(const AnnouncingStrategy& other)
        : Quorbel::CReportingStrategy(other), name(other.name), announce(other.announce),
          isClone(true) {}
    ~AnnouncingStrategy() override {
        if (isClone) announce(name);
    }
    AnnouncingStrategy* clone() const override { return new AnnouncingStrategy(*this); }
    void Report(const Quorbel::StdException&) override {}
    std::ostream& Print(std::ostream& os) const override { return os << name; }

private:
    const char* name;
    Announce announce;
    bool isClone;
};

}  // namespace

#if defined(_WIN32)
#define PLUGIN_EXPORT __declspec(dllexport)
#else
#define PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

extern "C" PLUGIN_EXPORT void InstallStrategies(Announce announce) {
    const AnnouncingStrategy defaultStrategy("default", announce);
    const AnnouncingStrategy fallbackStrategy("fallback", announce);
    Quorbel::StdException::SetDefaultReportingStrategy(&defaultStrategy);
    Quorbel::StdException::SetFallbackReportingStrategy(&fallbackStrategy);
}
