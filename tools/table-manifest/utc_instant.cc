#include "utc_instant.h"

#include <iomanip>
#include <regex>
#include <sstream>

namespace hv {
namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;

// Days from 1970-01-01 to the proleptic Gregorian date, and back (the
// era-based algorithms of the C++20 <chrono> calendar, valid for every year
// here).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

Civil CivilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

unsigned Number(const std::string& digits) { return static_cast<unsigned>(std::stoul(digits)); }

}  // namespace

std::optional<std::int64_t> ParseUtcInstant(const std::string& text) {
  static const std::regex kForm(
      R"(^([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})(?:\.([0-9]{1,3}))?Z$)");
  std::smatch part;
  if (!std::regex_match(text, part, kForm)) return std::nullopt;
  const std::int64_t year = Number(part[1]);
  const unsigned month = Number(part[2]);
  const unsigned day = Number(part[3]);
  const unsigned hour = Number(part[4]);
  const unsigned minute = Number(part[5]);
  const unsigned second = Number(part[6]);
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  const std::int64_t days = DaysFromCivil(year, month, day);
  // A day past the month's end lands in the next month.
  const Civil back = CivilFromDays(days);
  if (back.month != month || back.day != day) return std::nullopt;
  std::string fraction = part[7].str();
  fraction.resize(3, '0');
  return days * kMsPerDay +
         static_cast<std::int64_t>(((hour * 60 + minute) * 60 + second) * 1000 + Number(fraction));
}

std::string FormatUtcInstant(std::int64_t unix_ms) {
  const std::int64_t days = (unix_ms >= 0 ? unix_ms : unix_ms - kMsPerDay + 1) / kMsPerDay;
  const std::int64_t in_day = unix_ms - days * kMsPerDay;
  const Civil date = CivilFromDays(days);
  std::ostringstream text;
  text << std::setfill('0') << std::setw(4) << date.year << '-' << std::setw(2) << date.month << '-'
       << std::setw(2) << date.day << 'T' << std::setw(2) << in_day / 3'600'000 << ':'
       << std::setw(2) << in_day / 60'000 % 60 << ':' << std::setw(2) << in_day / 1000 % 60 << '.'
       << std::setw(3) << in_day % 1000 << 'Z';
  return text.str();
}

}  // namespace hv
