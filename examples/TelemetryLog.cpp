// TelemetryLog: an exception's OpenTelemetry attributes handed to a log
// record, which spdlog writes as one JSON object a line, as an
// observability pipeline collects them. Standard output; exit status 0.

#include <StdException/Guard>
#include <StdException/Reports>

#include <nlohmann/json.hpp>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <string>

int ParsePort(const std::string& text) {
    QUORBEL_TRY { return std::stoi(text); }
    QUORBEL_CATCH("text(" + text + ")", "")
}

// LogRecord: a log record of OpenTelemetry's data model, as JSON: severity,
// body and the attributes, with their numbers as numbers.
nlohmann::ordered_json LogRecord(const std::string& severity, const Quorbel::StdException& e) {
    nlohmann::ordered_json attributes = nlohmann::ordered_json::object();
    for (const auto& attribute : Quorbel::OpenTelemetryAttributes(e)) {
        const Quorbel::FieldValue& value = attribute.second;
        nlohmann::ordered_json& json = attributes[attribute.first];
        switch (value.GetKind()) {
            case Quorbel::FieldValue::Text:
                json = value.GetText();
                break;
            case Quorbel::FieldValue::Integer:
                json = value.GetInteger();
                break;
            case Quorbel::FieldValue::Unsigned:
                json = value.GetUnsigned();
                break;
            case Quorbel::FieldValue::Real:
                json = value.GetReal();
                break;
            case Quorbel::FieldValue::Boolean:
                json = value.GetBoolean();
                break;
        }
    }
    return {{"severityText", severity},
            {"body", attributes["exception.type"].get<std::string>() + ": " +
                         attributes["exception.message"].get<std::string>()},
            {"attributes", attributes}};
}

int main() {
    // Only the record on each line: the pipeline parses it.
    spdlog::set_default_logger(spdlog::stdout_logger_st("telemetry"));
    spdlog::set_pattern("%v");
    for (const char* text : {"eighty", "99999999999"}) try {
            ParsePort(text);
        } catch (Quorbel::StdException& e) {
            e.SetField("port.text", text);
            // Bytes that are not UTF-8 become U+FFFD rather than a broken line.
            spdlog::error(LogRecord("ERROR", e)
                              .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        }
    return 0;
}
