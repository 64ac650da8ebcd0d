// ReportLines.h: one line of input to stdexception-symbolize, a JSON report
// or a journal entry that holds one, made into its output (ReportLines.cpp).

#ifndef QUORBEL_SYMBOLIZE_REPORTLINES_H
#define QUORBEL_SYMBOLIZE_REPORTLINES_H

#include "Resolver.h"

#include <string>

namespace Quorbel {
namespace Symbolize {

enum class OutputFormat { JSON, Readable };

// Appends to out what line becomes: its report with the frames filled in
// that resolver describes, in format (JSON: the report and a line end;
// readable: the readable report); nothing for a journal entry without a
// report. On failure appends nothing, sets problem and returns false.
bool SymbolizeLine(const std::string& line, Resolver& resolver, OutputFormat format,
                   std::string& out, std::string& problem);

}  // namespace Symbolize
}  // namespace Quorbel

#endif
