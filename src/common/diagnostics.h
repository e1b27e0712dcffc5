// Diagnostic lines on standard error. Names that arrive from requests are
// printed through PrintableName (common/printable_name.h) before they get here.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

namespace hv {

// How many bytes of lines may wait for standard error's reader.
inline constexpr std::size_t kDiagnosticBufferBytes = std::size_t{1} << 20;

// Writes line and a newline to standard error without ever waiting for its
// reader. When no earlier line waits and fd 2 takes the line at once (a file, a
// socket, a non-blocking pipe), it is written before the call returns;
// otherwise it goes to the process's one standard-error writer thread, which
// waits for the reader. Lines from one thread keep their order, and each
// reaches the stream whole, never interleaved with another. A line that would
// take the bytes waiting beyond kDiagnosticBufferBytes is dropped and counted;
// the count goes out on a line of its own before the next line that is kept,
// or at exit.
void WriteDiagnosticLine(std::string_view line);

// Waits up to limit for every line handed over so far, and the count of any
// dropped since, to be written; true when they were. Runs at exit with a limit
// of one second.
bool FlushDiagnosticLines(std::chrono::milliseconds limit);

}  // namespace hv
