// Diagnostic lines on standard error. Names that arrive from requests are
// printed through PrintableName (common/printable_name.h) before they get here.
#pragma once

#include <string_view>

namespace hv {

// Writes line and a newline to standard error in a single write, so lines from
// several threads never interleave. No call waits on the log's reader for more
// than about a millisecond: while the reader is stalled (a full pipe, blocking
// or not), lines are dropped and counted, and the count is reported on a line
// of its own as soon as a write succeeds again.
void WriteDiagnosticLine(std::string_view line);

}  // namespace hv
