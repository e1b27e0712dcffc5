#include "common/diagnostics.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

namespace hv {
namespace {

using Clock = std::chrono::steady_clock;

// How long one line may wait for room in a full pipe. A reader that keeps up
// makes room sooner; one that has stopped must not hold the calling thread.
constexpr std::chrono::milliseconds kRoomWait{1};

enum class Outcome { kWritten, kNoRoom, kFailed };

// Standard error belongs to the process, not to one Node.js environment, so
// its writer is process-wide: the count of dropped lines covers every thread
// and environment that writes. It is never destroyed, so that a thread still
// writing while the process exits finds it intact.
class StderrWriter {
 public:
  static StderrWriter& Instance() {
    static StderrWriter* const writer = [] {
      auto* made = new StderrWriter();
      std::atexit([] { Instance().ReportDroppedAtExit(); });
      return made;
    }();
    return *writer;
  }

  void Write(std::string_view line) {
    std::string bytes;
    bytes.reserve(line.size() + 1);
    bytes.append(line);
    bytes.push_back('\n');

    const std::lock_guard<std::mutex> lock(mutex_);
    // While lines are being dropped the reader has stalled: try without waiting.
    if (dropped_ > 0) {
      if (WriteOnce(DroppedLine(), Clock::duration::zero()) != Outcome::kWritten) {
        ++dropped_;
        return;
      }
      dropped_ = 0;
    }
    if (WriteOnce(bytes, kRoomWait) == Outcome::kNoRoom) ++dropped_;
  }

 private:
  // Where a line goes: standard error itself, or a description of it that is
  // non-blocking. A description's O_NONBLOCK flag is shared by every process
  // that holds it (a shell pipeline's, say), so fd 2's own is never changed;
  // reopening through /proc gives a pipe, FIFO or terminal a description of
  // this writer's own instead.
  struct Target {
    int fd = -1;
    bool socket = false;
    // fd 2 is a blocking pipe that could not be reopened: wait for room before
    // writing, which cannot rule out a race with another writer.
    bool poll_first = false;
  };

  Target Resolve() {
    // statx rather than fstat: the module needs nothing newer than glibc 2.28,
    // and fstat is a symbol of glibc 2.33.
    struct statx st {};
    if (::statx(STDERR_FILENO, "", AT_EMPTY_PATH, STATX_TYPE | STATX_INO, &st) != 0) {
      // No statx (a kernel older than 4.11): nothing is known about fd 2.
      return {STDERR_FILENO, false, true};
    }
    const unsigned type = st.stx_mode & S_IFMT;
    if (type == S_IFREG || type == S_IFBLK) return {STDERR_FILENO, false, false};
    if (type == S_IFSOCK) return {STDERR_FILENO, true, false};

    // Reopened once per file behind fd 2, and again only when something
    // (dup2, say) has put another file there.
    const bool same = resolved_ && st.stx_dev_major == own_.stx_dev_major &&
                      st.stx_dev_minor == own_.stx_dev_minor && st.stx_ino == own_.stx_ino &&
                      st.stx_rdev_major == own_.stx_rdev_major &&
                      st.stx_rdev_minor == own_.stx_rdev_minor;
    if (!same) {
      if (own_fd_ >= 0) ::close(own_fd_);
      own_fd_ = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
      resolved_ = true;
      own_ = st;
    }
    if (own_fd_ >= 0) return {own_fd_, false, false};
    const int flags = ::fcntl(STDERR_FILENO, F_GETFL);
    return {STDERR_FILENO, false, flags < 0 || (flags & O_NONBLOCK) == 0};
  }

  // False when no room came before the deadline; true when the fd is writable
  // or has failed, which the write that follows then reports.
  static bool WaitForRoom(int fd, Clock::time_point deadline) {
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd pfd{fd, POLLOUT, 0};
      const int ms = static_cast<int>((left.count() + 999) / 1000);
      const int ready = ::poll(&pfd, 1, ms);
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return true;
    }
  }

  Outcome WriteOnce(const std::string& bytes, Clock::duration wait) {
    const Target target = Resolve();
    if (target.fd < 0) return Outcome::kFailed;
    const Clock::time_point deadline = Clock::now() + wait;

    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
      if (target.poll_first && !WaitForRoom(target.fd, deadline)) return Outcome::kNoRoom;
      const ssize_t written = target.socket
                                  ? ::send(target.fd, data, left, MSG_DONTWAIT | MSG_NOSIGNAL)
                                  : ::write(target.fd, data, left);
      if (written > 0) {
        data += written;
        left -= static_cast<std::size_t>(written);
        continue;
      }
      if (written < 0 && errno == EINTR) continue;
      if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!WaitForRoom(target.fd, deadline)) return Outcome::kNoRoom;
        continue;
      }
      return Outcome::kFailed;  // Nowhere left to report a failing standard error.
    }
    return Outcome::kWritten;
  }

  std::string DroppedLine() const {
    return "header-validator: " + std::to_string(dropped_) +
           " diagnostic line(s) dropped while standard error was not being read\n";
  }

  void ReportDroppedAtExit() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (dropped_ > 0 && WriteOnce(DroppedLine(), kRoomWait) == Outcome::kWritten) dropped_ = 0;
  }

  std::mutex mutex_;
  std::uint64_t dropped_ = 0;
  bool resolved_ = false;
  int own_fd_ = -1;
  // Identity of the file behind fd 2 when own_fd_ was opened.
  struct statx own_ {};
};

}  // namespace

void WriteDiagnosticLine(std::string_view line) { StderrWriter::Instance().Write(line); }

}  // namespace hv
