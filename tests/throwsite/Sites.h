// Shared by the throw-site tests of every platform: the values of a site's
// frames, as read from the frames and as read back from the JSON report by
// nlohmann's parser, and the reports that existed before throw sites.

#ifndef STDEXCEPTION_TESTS_SITES_H
#define STDEXCEPTION_TESTS_SITES_H

#include <StdException/ThrowSite>

#include <nlohmann/json.hpp>

#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace sites {

using Quorbel::NativeFrame;

// The values of a throw site in the order of the escaped XML report: address,
// inlined, offset, build ID, module, function, file and line of each frame.
inline std::vector<std::string> Values(const std::vector<NativeFrame>& site) {
    std::vector<std::string> values;
    for (const NativeFrame& frame : site) {
        std::ostringstream address, offset;
        address << "0x" << std::hex << frame.address;
        offset << "0x" << std::hex << frame.offset;
        values.insert(values.end(),
                      {address.str(), frame.inlined ? "true" : "false", offset.str(), frame.buildId,
                       frame.module, frame.function, frame.file, std::to_string(frame.line)});
    }
    return values;
}

// The same values of the frames of the "throwSite" of a JSON report.
inline std::vector<std::string> JsonValues(const nlohmann::ordered_json& json) {
    std::vector<std::string> values;
    for (const auto& frame : json.value("throwSite", nlohmann::ordered_json::array()))
        for (const char* key :
             {"address", "inlined", "offset", "buildId", "module", "function", "file", "line"})
            values.push_back(frame[key].is_string() ? frame[key].get<std::string>()
                                                    : frame[key].dump());
    return values;
}

// The text and XML reports of an outer exception that holds each of the
// exceptions that the throwers raise, caught by catcher, one line each.
template <class Catcher>
std::string TextAndXmlReports(std::initializer_list<void (*)()> throwers, Catcher catcher) {
    std::string reports;
    for (void (*thrower)() : throwers) {
        const auto e = catcher(thrower);
        auto outer = probes::App("outer", "o.src", 3);
        outer.AddPreviousException(e.get());
        reports += outer.AsString() + outer.AsXML() + "\n";
    }
    return reports;
}

}  // namespace sites

#endif
