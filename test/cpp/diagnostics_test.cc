#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

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
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Host 'a' not found in verificationTokenData\n\n");
}

// Standard error on a pipe that nobody reads, blocking as a shell pipeline
// leaves it: every call must return, lines that find no room are counted, and
// the count is written before the next line once the reader drains the pipe.
TEST(WriteDiagnosticLine, DropsAndCountsLinesWhileTheReaderIsStalled) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int saved = ::dup(STDERR_FILENO);
  ASSERT_GE(saved, 0);
  ASSERT_GE(::dup2(fds[1], STDERR_FILENO), 0);
  ::close(fds[1]);

  const std::string line(200, 'x');
  constexpr int kLines = 2000;  // About 400 KB, several times what a pipe holds.
  for (int i = 0; i < kLines; ++i) WriteDiagnosticLine(line);

  // Drain what fitted, then write once more.
  ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  std::string got;
  char buf[65536];
  const auto drain = [&] {
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof(buf))) > 0;)
      got.append(buf, static_cast<std::size_t>(n));
  };
  drain();
  const std::size_t fitted = got.size() / (line.size() + 1);
  ASSERT_EQ(got, [&] {
    std::string lines;
    for (std::size_t i = 0; i < fitted; ++i) lines += line + "\n";
    return lines;
  }());
  ASSERT_LT(fitted, static_cast<std::size_t>(kLines));
  got.clear();
  WriteDiagnosticLine("after");
  drain();

  ASSERT_GE(::dup2(saved, STDERR_FILENO), 0);
  ::close(saved);
  ::close(fds[0]);
  EXPECT_EQ(got,
            "header-validator: " + std::to_string(kLines - fitted) +
                " diagnostic line(s) dropped while standard error was not being read\nafter\n");
}

}  // namespace
}  // namespace hv
