// The end of a previous table's overlap, as the build is given it: a UTC
// instant in ISO 8601, written so that no reader can take it for local time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace hv {

// Milliseconds since 1970-01-01T00:00:00Z of "YYYY-MM-DDTHH:MM:SSZ", with an
// optional fraction of one to three digits before the Z; nullopt for any other
// text (no Z, an offset, a date or time alone, a day or hour that does not
// exist, a leap second).
std::optional<std::int64_t> ParseUtcInstant(const std::string& text);

// The instant in the form JavaScript's Date.prototype.toISOString writes:
// "YYYY-MM-DDTHH:MM:SS.mmmZ", for years 0 to 9999.
std::string FormatUtcInstant(std::int64_t unix_ms);

}  // namespace hv
