// A host, platform or user-type name as a request gave it. A name longer than
// every name in the table cannot be found, so only as much of it as a log
// line prints is ever read.
#pragma once

#include <cstddef>
#include <string>

namespace hv {

struct RequestName {
  // The whole name in UTF-8, or only its start when the name is too long to
  // be in the table.
  std::string text;
  // The whole name's length in UTF-8 bytes.
  std::size_t size = 0;

  bool IsWhole() const { return text.size() == size; }
};

}  // namespace hv
