// The attributes of an exception by OpenTelemetry's semantic conventions.

#include "StdException"
#include "Guard"
#include "Reports"
#include "ThrowSite"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Quorbel {

std::string ExceptionType(const StdException& e) {
    return QUORBEL_GUARD("", "", [&] {
        if (const CPPException* translated = dynamic_cast<const CPPException*>(&e))
            return translated->GetOriginalTypeName();
        if (dynamic_cast<const UnexpectedException*>(&e) != nullptr) {
            // The foreign object's type, where its throw was captured.
            std::string thrown = GetThrownType(e);
            if (!thrown.empty()) return thrown;
        }
        return e.TypeName();
    });
}

std::string ExceptionMessage(const StdException& e) {
    return QUORBEL_GUARD("", "", [&] {
        const CPPException* const translated = dynamic_cast<const CPPException*>(&e);
        return translated != nullptr ? translated->GetOriginalMessage() : e.DisplayValue();
    });
}

std::vector<std::pair<std::string, FieldValue>> OpenTelemetryAttributes(const StdException& e) {
    return QUORBEL_GUARD("", "", [&] {
        const CallTraceEntry& origin = e.GetCallTrace().back();
        std::vector<std::pair<std::string, FieldValue>> attributes;
        attributes.reserve(6);
        attributes.emplace_back("exception.type", ExceptionType(e));
        attributes.emplace_back("exception.message", ExceptionMessage(e));
        attributes.emplace_back("exception.stacktrace", AsReadable(e));
        attributes.emplace_back("code.function.name", origin.funcsig);
        attributes.emplace_back("code.file.path", origin.file);
        attributes.emplace_back("code.line.number", static_cast<std::int64_t>(origin.line));
        e.ForEachField([&](const std::string& key, const FieldValue& value) {
            attributes.emplace_back(key, value);
        });
        return attributes;
    });
}

}  // namespace Quorbel
