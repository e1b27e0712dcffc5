#include "common/diagnostics.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace hv {
namespace {

bool IsUtf8Continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Node.js makes a piped standard error non-blocking. When the reader falls
// behind, wait for room rather than drop the line, but never stall the thread
// for longer than this on a reader that has stopped.
constexpr int kFullPipeWaitMs = 1000;

bool WaitUntilWritable(int fd) {
  pollfd pfd{fd, POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&pfd, 1, kFullPipeWaitMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (pfd.revents & POLLOUT) != 0;
}

}  // namespace

std::string PrintableName(std::string_view name) {
  std::size_t shown = name.size();
  if (shown > kPrintedNameLimit) {
    shown = kPrintedNameLimit;
    // Back up to the start of the character that the limit would split.
    while (shown > 0 && IsUtf8Continuation(static_cast<unsigned char>(name[shown]))) --shown;
  }

  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(shown + 24);
  for (std::size_t i = 0; i < shown; ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else if (byte == '\\') {
      out += "\\\\";
    } else {
      out += static_cast<char>(byte);
    }
  }
  if (shown < name.size()) {
    out += "...(+";
    out += std::to_string(name.size() - shown);
    out += " bytes)";
  }
  return out;
}

void WriteDiagnosticLine(std::string_view line) {
  std::string whole;
  whole.reserve(line.size() + 1);
  whole.append(line);
  whole.push_back('\n');

  const char* data = whole.data();
  std::size_t left = whole.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitUntilWritable(STDERR_FILENO)) continue;
      return;  // Nowhere left to report a failing standard error.
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace hv
