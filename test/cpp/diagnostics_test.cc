#include <gtest/gtest.h>

#include <string>

#include "common/diagnostics.h"

namespace hv {
namespace {

TEST(PrintableName, LeavesOrdinaryNamesAlone) {
  EXPECT_EQ(PrintableName("example.com"), "example.com");
  EXPECT_EQ(PrintableName("KIOSK_STORE"), "KIOSK_STORE");
  EXPECT_EQ(PrintableName("caf\xC3\xA9 \xF0\x9F\x94\x91"), "caf\xC3\xA9 \xF0\x9F\x94\x91");
  EXPECT_EQ(PrintableName(""), "");
}

TEST(PrintableName, EscapesControlBytesAndBackslash) {
  EXPECT_EQ(PrintableName("a\nHost 'x' not found"), "a\\x0AHost 'x' not found");
  EXPECT_EQ(PrintableName(std::string("n\0l", 3)), "n\\x00l");
  EXPECT_EQ(PrintableName("\r\t\x1F\x7F"), "\\x0D\\x09\\x1F\\x7F");
  EXPECT_EQ(PrintableName("back\\slash"), "back\\\\slash");
  // An escaped backslash cannot be confused with an escape sequence.
  EXPECT_NE(PrintableName("\\x0A"), PrintableName("\n"));
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
}

TEST(WriteDiagnosticLine, WritesTheLineAndANewline) {
  ::testing::internal::CaptureStderr();
  WriteDiagnosticLine("Host 'a' not found in verificationTokenData");
  WriteDiagnosticLine("");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Host 'a' not found in verificationTokenData\n\n");
}

}  // namespace
}  // namespace hv
