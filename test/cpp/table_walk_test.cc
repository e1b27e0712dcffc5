#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/numeral_decoder.h"
#include "common/diagnostics.h"
#include "test_encoding.h"
#include "tokens/table_walk.h"

namespace hv {
namespace {

using nlohmann::json;

// Records the walk as lines, decoding every leaf like the module does.
class Recorder : public TableVisitor {
 public:
  void BeginHost(const std::string& host) override { lines.push_back("host " + host); }
  void AddPlatform(const std::string& platform, const UserTypeList& user_types) override {
    std::string line = "platform " + platform + ":";
    for (const auto& [user_type, numerals] : user_types) {
      std::vector<std::optional<std::string>> elements(numerals.begin(), numerals.end());
      line += " " + user_type + "=" + DecodeNumerals(elements);
    }
    lines.push_back(line);
  }
  void EndHost(const std::string& host) override { lines.push_back("end " + host); }

  std::vector<std::string> lines;
};

json Leaf(const std::string& token) {
  const std::string key(32, 'k');
  const std::string iv(16, 'i');
  return testing::ToNumerals(testing::EncodeText(token, key, iv));
}

std::string WalkError(const json& table, Recorder& recorder) {
  try {
    WalkTokenTable(table, recorder);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(WalkTokenTable, VisitsInAscendingKeyOrderAndDecodesLeaves) {
  const json table = ParseTokenTable(R"({"b.example": {"WEB": {}}, "a.example": {}})");
  json with_leaves = table;
  with_leaves["b.example"]["IOS"]["USER"] = Leaf("ios-user-token-22-bytes");
  with_leaves["b.example"]["ANDROID"]["STORE"] = Leaf("android-store-token-22b");
  with_leaves["b.example"]["ANDROID"]["KIOSK"] = Leaf("android-kiosk-token-22b");

  Recorder recorder;
  WalkTokenTable(with_leaves, recorder);
  EXPECT_EQ(recorder.lines,
            (std::vector<std::string>{
                "host a.example", "end a.example", "host b.example",
                "platform ANDROID: KIOSK=android-kiosk-token-22b STORE=android-store-token-22b",
                "platform IOS: USER=ios-user-token-22-bytes", "platform WEB:", "end b.example"}));
}

TEST(WalkTokenTable, RejectsValuesOfTheWrongKindWithFixedMessages) {
  Recorder r;
  EXPECT_EQ(WalkError(json::parse(R"({"h": []})"), r),
            "Invalid JSON structure: Host data is not an object");
  EXPECT_EQ(WalkError(json::parse(R"({"h": {"WEB": ["1"]}})"), r),
            "Invalid JSON structure: Platform data is not an object");
  EXPECT_EQ(WalkError(json::parse(R"({"h": {"WEB": {"USER": "65"}}})"), r),
            "Invalid JSON structure: User type data is not an array");
  EXPECT_EQ(WalkError(json::parse(R"({"h": {"WEB": {"USER": ["65", 65]}}})"), r),
            "Invalid JSON structure: ASCII array elements must be strings.");
  EXPECT_EQ(WalkError(json::parse(R"([{"h": {}}])"), r),
            "Invalid JSON structure: Root is not an object");
  EXPECT_EQ(WalkError(json::parse(R"("text")"), r),
            "Invalid JSON structure: Root is not an object");
}

TEST(WalkTokenTable, PlatformsBeforeAShapeErrorAreAlreadyVisited) {
  json table;
  table["h"]["ANDROID"]["USER"] = Leaf("android-user-token-22b");
  table["h"]["IOS"] = "not an object";
  Recorder recorder;
  EXPECT_EQ(WalkError(table, recorder), "Invalid JSON structure: Platform data is not an object");
  EXPECT_EQ(recorder.lines, (std::vector<std::string>{"host h",
                                                      "platform ANDROID: "
                                                      "USER=android-user-token-22b"}));
}

TEST(WalkTokenTable, UndecodableLeavesBecomeEmptyAndTheWalkGoesOn) {
  json table;
  table["h"]["WEB"]["USER"] = json::array();
  table["h"]["IOS"]["USER"] = Leaf("ios-user-token-22-bytes");
  Recorder recorder;
  ::testing::internal::CaptureStderr();
  WalkTokenTable(table, recorder);
  const bool flushed = FlushDiagnosticLines(std::chrono::seconds(10));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Error during processing: Base64 decoding failed\n");
  EXPECT_TRUE(flushed);
  EXPECT_EQ(recorder.lines,
            (std::vector<std::string>{"host h", "platform IOS: USER=ios-user-token-22-bytes",
                                      "platform WEB: USER=", "end h"}));
}

TEST(ParseTokenTable, RejectsTextThatIsNotJson) {
  EXPECT_THROW(ParseTokenTable("{"), nlohmann::json::parse_error);
  EXPECT_THROW(ParseTokenTable(""), nlohmann::json::parse_error);
}

}  // namespace
}  // namespace hv
