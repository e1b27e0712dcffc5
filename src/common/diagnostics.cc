#include "common/diagnostics.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

namespace hv {
namespace {

using Clock = std::chrono::steady_clock;

// A pipe takes a write of up to PIPE_BUF bytes whole, so batches of whole lines
// no longer than that never interleave with what others write to the same pipe.
constexpr std::size_t kBatchBytes = PIPE_BUF;
constexpr std::string_view kCountPrefix = "header-validator: ";
constexpr std::string_view kCountSuffix =
    " diagnostic line(s) dropped while standard error was not being read\n";
// Room beyond the buffer for the count line that an exit adds to a full buffer.
constexpr std::size_t kCountLineRoom = 128;
// How long the writer thread waits for room before it tries the write again.
constexpr int kRoomWaitMs = 1000;
// How long an exiting process gives the writer thread to write what waits.
constexpr std::chrono::milliseconds kExitLimit{1000};
// How long the writer thread lets lines gather after a wake: a flood wakes it
// about once a millisecond instead of once a line, and each wake costs the
// calling thread a system call.
constexpr std::chrono::milliseconds kGatherTime{1};
// How often a flush looks whether the writer thread is done.
constexpr std::chrono::milliseconds kFlushStep{1};

// std::condition_variable::wait is a symbol of GCC 12's libstdc++
// (GLIBCXX_3.4.30), newer than the module may need; the POSIX call it wraps is
// not.
class WakeSignal {
 public:
  WakeSignal() = default;
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;
  ~WakeSignal() { ::pthread_cond_destroy(&cond_); }

  void Wait(std::unique_lock<std::mutex>& lock) {
    ::pthread_cond_wait(&cond_, lock.mutex()->native_handle());
  }
  void Wake() { ::pthread_cond_signal(&cond_); }

 private:
  pthread_cond_t cond_ = PTHREAD_COND_INITIALIZER;
};

// The length of the whole lines at the start of text that fit in limit bytes,
// or of the first line alone when even that one is longer.
std::size_t WholeLinesWithin(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  std::size_t end = text.rfind('\n', limit - 1);
  if (end == std::string_view::npos) end = text.find('\n');
  return end == std::string_view::npos ? text.size() : end + 1;
}

// Writes all of bytes to fd 2 itself: a descriptor of the writer's own would
// keep the stream open after the application closes fd 2. A write that takes
// only a part is finished before anything else is written, so no line is torn.
// fd 2's flags belong to every process that shares its description and are
// left alone: when it is non-blocking, poll waits for room. When fd 2 fails
// (closed, or its reader gone: SIGPIPE is blocked on the writer thread), the
// rest has nowhere to go and is given up.
void WriteToStderr(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd room{STDERR_FILENO, POLLOUT, 0};
      ::poll(&room, 1, kRoomWaitMs);
    } else if (!(written < 0 && errno == EINTR)) {
      return;
    }
  }
}

// Writes as much of bytes to fd 2 as it takes without waiting on its reader,
// and returns how much that was: all of it, or what a non-blocking fd, a socket
// (MSG_DONTWAIT) or a regular file took. A blocking pipe or terminal gets
// nothing here: only the writer thread may wait for its reader. A failing fd 2
// counts as all written, since nothing can be written there.
std::size_t WriteWithoutWaiting(std::string_view bytes) {
  const int flags = ::fcntl(STDERR_FILENO, F_GETFL);
  if (flags < 0) return bytes.size();
  bool socket = false;
  if ((flags & O_NONBLOCK) == 0) {
    // statx rather than fstat: the module needs nothing newer than glibc 2.28,
    // and fstat is a symbol of glibc 2.33.
    struct statx st {};
    if (::statx(STDERR_FILENO, "", AT_EMPTY_PATH, STATX_TYPE, &st) != 0) return 0;
    const unsigned type = st.stx_mode & S_IFMT;
    if (type != S_IFREG && type != S_IFSOCK) return 0;
    socket = type == S_IFSOCK;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const char* data = bytes.data() + done;
    const std::size_t left = bytes.size() - done;
    const ssize_t written = socket ? ::send(STDERR_FILENO, data, left, MSG_DONTWAIT | MSG_NOSIGNAL)
                                   : ::write(STDERR_FILENO, data, left);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else if (!(written < 0 && errno == EINTR)) {
      return bytes.size();
    }
  }
  return done;
}

// Standard error belongs to the process, not to one Node.js environment, so
// its writer is process-wide: one buffer and one thread serve every thread and
// environment that writes, and the count of dropped lines covers them all.
class StderrWriter {
 public:
  // Never destroyed: an application thread, or the writer thread, may still
  // use it while the process exits.
  static StderrWriter& Instance() {
    static StderrWriter* const writer = [] {
      auto* made = new StderrWriter();
      std::atexit([] { Instance().Flush(kExitLimit); });
      return made;
    }();
    return *writer;
  }

  // Never waits on standard error: the writer thread holds the lock only to
  // take lines and to account for what it wrote, never while writing. Does not
  // allocate: the buffer is reserved whole.
  void Write(std::string_view line) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t count_bytes = dropped_ > 0 ? CountLineBytes() : 0;
    if (queued_.size() + in_flight_ + count_bytes + line.size() + 1 > kDiagnosticBufferBytes) {
      ++dropped_;
      return;
    }
    if (dropped_ > 0) {
      QueueCountLine();
    } else if (queued_.empty() && in_flight_ == 0 && line.size() < kBatchBytes) {
      // Nothing of ours waits to go before it: written now if fd 2 can take
      // it without waiting, so that it comes before whatever the application
      // writes after the call. A part left over goes first, from the thread;
      // the lock keeps other threads' lines from coming between the parts.
      char bytes[kBatchBytes];
      line.copy(bytes, line.size());
      bytes[line.size()] = '\n';
      const std::string_view whole(bytes, line.size() + 1);
      const std::size_t written = WriteWithoutWaiting(whole);
      if (written == whole.size()) return;
      queued_.append(whole.substr(written));
      StartOrWake();
      return;
    }
    queued_.append(line);
    queued_.push_back('\n');
    StartOrWake();
  }

  bool Flush(Clock::duration limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    std::unique_lock<std::mutex> lock(mutex_);
    if (dropped_ > 0) QueueCountLine();
    if (!queued_.empty()) StartOrWake();
    // Looked at in steps: a timed wait on a condition would measure the limit
    // on the wall clock (the monotonic ones are symbols of glibc 2.30 and
    // 2.34), which may jump.
    while (!queued_.empty() || in_flight_ > 0) {
      if (Clock::now() >= deadline) return false;
      lock.unlock();
      std::this_thread::sleep_for(kFlushStep);
      lock.lock();
    }
    return true;
  }

 private:
  StderrWriter() {
    queued_.reserve(kDiagnosticBufferBytes + kCountLineRoom);
    writing_.reserve(kDiagnosticBufferBytes + kCountLineRoom);
  }

  struct Decimal {
    char digits[24];
    std::size_t size;
  };

  Decimal DroppedDecimal() const {
    Decimal decimal{};
    const auto end = std::to_chars(std::begin(decimal.digits), std::end(decimal.digits), dropped_);
    decimal.size = static_cast<std::size_t>(end.ptr - decimal.digits);
    return decimal;
  }

  std::size_t CountLineBytes() const {
    return kCountPrefix.size() + DroppedDecimal().size + kCountSuffix.size();
  }

  void QueueCountLine() {
    const Decimal count = DroppedDecimal();
    queued_.append(kCountPrefix);
    queued_.append(count.digits, count.size);
    queued_.append(kCountSuffix);
    dropped_ = 0;
  }

  // With mutex_ held, after lines were queued.
  void StartOrWake() {
    if (!started_) {
      Start();
    } else if (idle_) {
      idle_ = false;
      wake_.Wake();
    }
  }

  void Start() {
    // The thread inherits a mask that blocks every signal: signals for the
    // process still go to the application's threads, and a write to a pipe or
    // socket whose reader has gone fails instead of raising SIGPIPE. On Linux
    // sigprocmask sets the calling thread's mask (pthread_sigmask is a symbol
    // of glibc 2.32).
    sigset_t all;
    sigset_t previous;
    ::sigfillset(&all);
    ::sigprocmask(SIG_SETMASK, &all, &previous);
    try {
      std::thread([this] { Run(); }).detach();
      started_ = true;
    } catch (const std::exception&) {
      // No thread for now (the process is at its limit): the lines wait, and
      // the next line tries again.
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
  }

  [[noreturn]] void Run() {
    ::prctl(PR_SET_NAME, "hv-diagnostics");
    for (;;) {
      TakeQueued();
      for (std::string_view rest = writing_; !rest.empty();) {
        const std::size_t batch = WholeLinesWithin(rest, kBatchBytes);
        WriteToStderr(rest.substr(0, batch));
        rest.remove_prefix(batch);
        const std::lock_guard<std::mutex> lock(mutex_);
        in_flight_ -= batch;
      }
      writing_.clear();
    }
  }

  // Waits for lines, then moves them all to writing_.
  void TakeQueued() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (queued_.empty()) {
      while (queued_.empty()) {
        idle_ = true;
        wake_.Wait(lock);
      }
      idle_ = false;
      lock.unlock();
      std::this_thread::sleep_for(kGatherTime);
      lock.lock();
    }
    writing_.swap(queued_);
    in_flight_ = writing_.size();
  }

  std::mutex mutex_;
  WakeSignal wake_;
  // Whole lines handed over and not yet taken by the writer thread.
  std::string queued_;
  // The writer thread's own: lines it has taken, of which in_flight_ bytes are
  // not yet written.
  std::string writing_;
  std::size_t in_flight_ = 0;
  std::uint64_t dropped_ = 0;
  bool started_ = false;
  // The writer thread waits for lines and needs waking.
  bool idle_ = false;
};

}  // namespace

void WriteDiagnosticLine(std::string_view line) { StderrWriter::Instance().Write(line); }

bool FlushDiagnosticLines(std::chrono::milliseconds limit) {
  return StderrWriter::Instance().Flush(limit);
}

}  // namespace hv
