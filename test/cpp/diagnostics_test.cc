#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/diagnostics.h"
#include "common/printable_name.h"

namespace hv {
namespace {

TEST(PrintableName, LeavesOrdinaryNamesAlone) {
  EXPECT_EQ(PrintableName("example.com"), "example.com");
  EXPECT_EQ(PrintableName("KIOSK_STORE"), "KIOSK_STORE");
  EXPECT_EQ(PrintableName("caf\xC3\xA9 \xF0\x9F\x94\x91"), "caf\xC3\xA9 \xF0\x9F\x94\x91");
  EXPECT_EQ(PrintableName(""), "");
}

TEST(PrintableName, EscapesControlBytesAndBackslash) {
  EXPECT_EQ(PrintableName("a\nHost 'x' not found"), "a\\x0AHost \\x27x\\x27 not found");
  EXPECT_EQ(PrintableName(std::string("n\0l", 3)), "n\\x00l");
  EXPECT_EQ(PrintableName("\r\t\x1F\x7F"), "\\x0D\\x09\\x1F\\x7F");
  EXPECT_EQ(PrintableName("back\\slash"), "back\\\\slash");
  // An escaped backslash cannot be confused with an escape sequence.
  EXPECT_NE(PrintableName("\\x0A"), PrintableName("\n"));
}

// Characters a terminal or log viewer would take as a line break or a change
// of writing direction, and the quote that delimits names on a line.
TEST(PrintableName, EscapesLineBreakingAndReorderingCharacters) {
  EXPECT_EQ(PrintableName("A\xC2\x85"
                          "B\xC2\x9B"
                          "C\xC2\x80"),
            "A\\u0085B\\u009BC\\u0080");
  EXPECT_EQ(PrintableName("\xE2\x80\xA8\xE2\x80\xA9"), "\\u2028\\u2029");
  EXPECT_EQ(PrintableName("\xE2\x80\xAA\xE2\x80\xAE\xE2\x81\xA6\xE2\x81\xA9"),
            "\\u202A\\u202E\\u2066\\u2069");
  EXPECT_EQ(PrintableName("\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C"), "\\u200E\\u200F\\u061C");
  EXPECT_EQ(PrintableName("it's"), "it\\x27s");
  // Their neighbours print as they are.
  EXPECT_EQ(PrintableName("\xC2\xA0\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA\xD8\x9B"),
            "\xC2\xA0\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA\xD8\x9B");
}

TEST(PrintableName, CutsLongNamesOnACharacterBoundary) {
  EXPECT_EQ(PrintableName(std::string(256, 'a')), std::string(256, 'a'));
  EXPECT_EQ(PrintableName(std::string(257, 'a')), std::string(256, 'a') + "...(+1 bytes)");
  EXPECT_EQ(PrintableName(std::string(1 << 20, 'h')),
            std::string(256, 'h') + "...(+" + std::to_string((1 << 20) - 256) + " bytes)");

  // 255 ASCII bytes then a 2-byte character: the character would straddle the
  // limit, so it moves whole into the cut part.
  const std::string straddling = std::string(255, 'a') + "\xC3\xA9" + "tail";
  EXPECT_EQ(PrintableName(straddling), std::string(255, 'a') + "...(+6 bytes)");

  // Escapes may lengthen the printed text, never the part of the name shown.
  const std::string controls(300, '\n');
  std::string expected;
  for (int i = 0; i < 256; ++i) expected += "\\x0A";
  EXPECT_EQ(PrintableName(controls), expected + "...(+44 bytes)");

  // A name of which only the start was read prints as the whole name would.
  const std::string whole = std::string(254, 'b') + "\xF0\x9F\x98\x80" + std::string(5000, 'c');
  EXPECT_EQ(PrintableName(std::string_view(whole).substr(0, 262), whole.size()),
            PrintableName(whole));
}

TEST(WriteDiagnosticLine, WritesTheLineAndANewline) {
  ::testing::internal::CaptureStderr();
  WriteDiagnosticLine("Host 'a' not found in verificationTokenData");
  WriteDiagnosticLine("");
  const bool flushed = FlushDiagnosticLines(std::chrono::seconds(10));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Host 'a' not found in verificationTokenData\n\n");
  EXPECT_TRUE(flushed);
}

// Standard error on a pipe that nobody reads, blocking as a shell pipeline
// leaves it: every call returns at once, the lines beyond what the pipe and
// the buffer hold are counted, and once the reader drains the pipe each count
// comes before the next line kept. Where the counts fall depends on when the
// writer thread got to the pipe, so the output is checked line by line.
TEST(WriteDiagnosticLine, CountsTheLinesBeyondTheBufferWhileTheReaderIsStalled) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int saved = ::dup(STDERR_FILENO);
  ASSERT_GE(saved, 0);
  ASSERT_GE(::dup2(fds[1], STDERR_FILENO), 0);
  ::close(fds[1]);

  const std::string line(200, 'x');
  // Twice what the buffer holds.
  const std::size_t lines = 2 * kDiagnosticBufferBytes / line.size();
  for (std::size_t i = 0; i < lines; ++i) WriteDiagnosticLine(line);
  WriteDiagnosticLine("after");

  std::string got;
  std::thread reader([&] {
    char buf[65536];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof(buf))) > 0;)
      got.append(buf, static_cast<std::size_t>(n));
  });
  const bool flushed = FlushDiagnosticLines(std::chrono::seconds(30));
  // The pipe's last writer goes: the reader sees its end.
  ASSERT_GE(::dup2(saved, STDERR_FILENO), 0);
  ::close(saved);
  reader.join();
  ::close(fds[0]);
  ASSERT_TRUE(flushed);

  const std::string count_prefix = "header-validator: ";
  const std::string count_suffix =
      " diagnostic line(s) dropped while standard error was not being read";
  std::size_t kept = 0;
  std::size_t counted = 0;
  bool after_kept = false;
  bool after_count = false;
  ASSERT_FALSE(got.empty());
  ASSERT_EQ(got.back(), '\n') << "the output ends in a torn line";
  for (std::size_t start = 0; start < got.size();) {
    const std::size_t end = got.find('\n', start);
    const std::string text = got.substr(start, end - start);
    start = end + 1;
    ASSERT_FALSE(after_kept) << "a line after the last one written";
    if (text == line) {
      ++kept;
      after_count = false;
    } else if (text == "after") {
      after_kept = true;
    } else {
      ASSERT_EQ(text.rfind(count_prefix, 0), 0U) << "an unexpected line: " << text.substr(0, 80);
      ASSERT_GT(text.size(), count_prefix.size() + count_suffix.size());
      ASSERT_EQ(text.substr(text.size() - count_suffix.size()), count_suffix);
      ASSERT_FALSE(after_count) << "two counts in a row";
      counted += std::stoull(text.substr(count_prefix.size()));
      after_count = true;
    }
  }
  // Every line is either written or counted, and the buffer was used whole
  // before any was dropped.
  EXPECT_EQ(kept + counted, lines + (after_kept ? 0 : 1));
  EXPECT_GT(counted, 0U);
  EXPECT_GE(kept * (line.size() + 1) + 512, kDiagnosticBufferBytes);
}

}  // namespace
}  // namespace hv
