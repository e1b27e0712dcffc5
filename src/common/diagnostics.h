// Diagnostic lines on standard error. Names that arrive from requests are
// printed through PrintableName (common/printable_name.h) before they get here.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

namespace hv {

// How many bytes of lines may wait for standard error's reader.
inline constexpr std::size_t kDiagnosticBufferBytes = std::size_t{1} << 20;

// Hands line and a newline to the process's one standard-error writer thread
// and returns without waiting for the write. Lines from one thread keep their
// order, and each reaches the stream whole, never interleaved with another.
// A line that would take the bytes waiting beyond kDiagnosticBufferBytes is
// dropped and counted; the count goes out on a line of its own before the next
// line that is kept, or at exit.
void WriteDiagnosticLine(std::string_view line);

// Waits up to limit for every line handed over so far, and the count of any
// dropped since, to be written; true when they were. Runs at exit with a limit
// of one second.
bool FlushDiagnosticLines(std::chrono::milliseconds limit);

}  // namespace hv
