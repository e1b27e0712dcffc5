// Build step: checks the encoded token table that is about to be compiled in
// and writes a manifest of it beside the module (names, fingerprint, whether it
// is the public demo table, how many leaves hold a public demo token). Never
// prints a token. Given --fleet-key <path>, it also writes there the build's fleet
// key: the secret that keys and authenticates the shared cache of checked
// results (lib/shared-cache.js), so that only processes of this very build can
// read or write each other's entries.
//
// Usage: table_manifest <table.json> <table_format.json> <demo-table.json>
//                       <public_token_digests.json> <manifest-out.json>
//                       [--fleet-key <fleet-key-out>] [--previous <previous-table.json> <until>]
//                       [--vocabulary <vocabulary.json>]
//
// A table other than the committed demo table fails the check when any leaf
// holds a public demo token, unless the build's demo-token switch, the
// environment variable HV_DEMO_TOKENS_SWITCH names, is 1 (then each such leaf is
// a warning).
//
// With --previous, the table whose tokens the current one replaces, which the
// package keeps verifying until the UTC instant <until>: checked as the current
// table is, and refused when it carries nothing to rotate; the manifest says
// per combination what it changes, and records this build's clock as the
// start of the overlap ("since": the package's Deprecation header).
//
// With --vocabulary, a team's own platforms and user types, in place of those
// of the table format, for both tables; the manifest records them.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "auth_code_rules_data.h"
#include "bcrypt/key_schedule_words.h"
#include "codec/numeral_decoder.h"
#include "common/printable_name.h"
#include "common/wipe.h"
#include "host_name_rule.h"
#include "rotation_report.h"
#include "strict_json.h"
#include "tokens/table_walk.h"
#include "utc_instant.h"
#include "utf8_text.h"
#include "vocabulary.h"

#if !defined(HV_DEMO_TOKENS_SWITCH) || !defined(HV_PREVIOUS_TABLE_SETTING) || \
    !defined(HV_PREVIOUS_UNTIL_SETTING)
#error "HV_DEMO_TOKENS_SWITCH and HV_PREVIOUS_{TABLE,UNTIL}_SETTING must be defined by the build"
#endif

namespace {

using hv::ParseRejectingDuplicates;
using nlohmann::json;

// The build's settings, named once, by CMakeLists.txt.
constexpr char kDemoTokensSwitch[] = HV_DEMO_TOKENS_SWITCH;
constexpr char kPreviousTableSetting[] = HV_PREVIOUS_TABLE_SETTING;
constexpr char kPreviousUntilSetting[] = HV_PREVIOUS_UNTIL_SETTING;

// Old tokens that outlive their rotation by more than this are a forgotten
// overlap, not a planned one.
constexpr std::int64_t kLongestOverlapDays = 400;

// A fault of the previous table, reported under its own name.
class PreviousTableError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Hex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * size);  // one buffer: no partial copy of a key left behind
  for (std::size_t i = 0; i < size; ++i) {
    hex += kHex[bytes[i] >> 4];
    hex += kHex[bytes[i] & 0x0F];
  }
  return hex;
}

std::string Sha256Hex(const void* data, std::size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  return Hex(digest, length);
}

std::string Sha256Hex(const std::string& bytes) { return Sha256Hex(bytes.data(), bytes.size()); }

// "A, B, C": the member names of a vocabulary object, or the names of a list.
std::string ListNames(const json& names) {
  std::string listed;
  for (const auto& [key, value] : names.items()) {
    listed += (listed.empty() ? "" : ", ") + (names.is_object() ? key : value.get<std::string>());
  }
  return listed;
}

// The SHA-256 digests of the public demo tokens, as the package ships them.
std::set<std::string> ReadPublicDigests(const std::string& path) {
  const json file = json::parse(ReadFile(path));
  static const std::regex kDigest("^[0-9a-f]{64}$");
  std::set<std::string> digests;
  if (file.contains("sha256") && file["sha256"].is_array()) {
    for (const auto& digest : file["sha256"]) {
      if (!digest.is_string() || !std::regex_match(digest.get_ref<const std::string&>(), kDigest)) {
        digests.clear();
        break;
      }
      digests.insert(digest.get<std::string>());
    }
  }
  // An empty list would let every demo token through unnoticed.
  if (digests.empty()) {
    throw std::runtime_error(
        path + ": sha256 must be a non-empty list of SHA-256 digests in lowercase hex");
  }
  return digests;
}

class ManifestVisitor : public hv::TableVisitor {
 public:
  // label: how messages name the table, "token table" or "previous token table".
  ManifestVisitor(const json& format, const std::set<std::string>& public_digests,
                  std::string label)
      : label_(std::move(label)),
        format_(format),
        public_digests_(public_digests),
        max_token_bytes_(format.at("tokenBytes").at("max").get<std::size_t>()),
        host_name_rule_(format.at("hostNames")) {}

  void BeginHost(const std::string& host) override {
    if (!host_name_rule_.Accepts(host)) {
      throw std::runtime_error("host \"" + host + "\" is not a host name");
    }
    host_ = host;
    hosts_[host] = json::object();
  }

  void AddPlatform(const std::string& platform, const hv::UserTypeList& user_types) override {
    const json& vocabulary = format_.at("platforms");
    if (!vocabulary.contains(platform)) {
      throw std::runtime_error(host_ + "/" + platform + ": unknown platform; known platforms: " +
                               ListNames(vocabulary) + " (names are case-sensitive)");
    }
    json names = json::array();
    for (const auto& [user_type, numerals] : user_types) {
      const hv::Combination combination{host_, platform, user_type};
      const std::string where = combination.Name();
      const json& allowed = vocabulary.at(platform);
      if (std::find(allowed.begin(), allowed.end(), user_type) == allowed.end()) {
        throw std::runtime_error(where + ": user type not used with this platform; " + platform +
                                 " has: " + ListNames(allowed));
      }
      names.push_back(user_type);
      ++leaves_;
      leaf_digests_[combination] = CheckLeaf(where, numerals);
    }
    hosts_[host_][platform] = names;
  }

  void EndHost(const std::string&) override {}

  const json& hosts() const { return hosts_; }
  int leaves() const { return leaves_; }
  int undecodable() const { return undecodable_; }
  // The combinations whose leaf holds a public demo token, in walk order.
  const std::vector<std::string>& demo_token_leaves() const { return demo_token_leaves_; }
  const hv::LeafDigests& leaf_digests() const { return leaf_digests_; }
  // The first leaf, in walk order, that holds the token with this digest, or null.
  const std::string* LeafOfDigest(const std::string& digest) const {
    const auto found = first_leaf_of_digest_.find(digest);
    return found == first_leaf_of_digest_.end() ? nullptr : &found->second;
  }

 private:
  // The digest of the leaf's token, or "" when it cannot be decoded.
  std::string CheckLeaf(const std::string& where, const std::vector<std::string>& numerals) {
    std::vector<std::optional<std::string>> elements(numerals.begin(), numerals.end());
    std::string decoded = hv::DecodeNumerals(elements);
    const hv::WipeOnExit wipe_decoded(decoded);
    // Every comparison below is of the token the module hashes.
    std::string token = hv::AsUtf8Text(decoded);
    const hv::WipeOnExit wipe_token(token);
    if (token != decoded) {
      std::cerr << "warning: " << label_ << " leaf " << where
                << " holds a token that is not valid UTF-8 text; the module reads it as text and "
                   "hashes U+FFFD in place of each bad sequence, so only codes of that text are "
                   "valid for it\n";
    }
    if (token.empty()) {
      ++undecodable_;
      std::cerr << "warning: " << label_ << " leaf " << where
                << " cannot be decoded; the module will refuse every code for it\n";
      return "";
    }
    // bcrypt reads a key only up to its first NUL and its first tokenBytes.max (72) bytes.
    if (token.size() > max_token_bytes_ || token.find('\0') != std::string::npos) {
      std::cerr << "warning: " << label_ << " leaf " << where
                << " holds a token with bytes bcrypt ignores (over " << max_token_bytes_
                << " bytes or a NUL)\n";
    }
    // Only digests are kept: the token itself is wiped on the way out.
    const std::string digest = Sha256Hex(token);
    if (public_digests_.count(digest) != 0) demo_token_leaves_.push_back(where);
    // A code for one of two leaves with the same token is a code for both.
    const auto [first, inserted] = first_leaf_of_digest_.emplace(digest, where);
    if (!inserted) {
      std::cerr << "warning: " << label_ << " leaves " << first->second << " and " << where
                << " hold the same token; a code for one is valid for the other\n";
    }
    CheckOneKey(where, token, digest);
    return digest;
  }

  // Different tokens can still be one bcrypt key: under "$2x$" a byte of 0x80
  // or above overwrites the bytes before it in its 32-bit word. So leaves are
  // compared, variant by variant, by a digest of the words bcrypt reads.
  void CheckOneKey(const std::string& where, const std::string& token,
                   const std::string& token_digest) {
    std::vector<std::pair<std::string, std::string>> one_key_with;  // earlier leaf, variants
    for (const char variant : std::string_view(hv::kAuthCodeVariants)) {
      hv::BcryptKeyWords words = hv::KeyScheduleWords(token, variant);
      const hv::WipeOnExit wipe_words(words.data(), sizeof words);
      const std::string prefix = std::string("$2") + variant + "$";
      const auto [first, inserted] = first_leaf_of_key_.emplace(
          prefix + Sha256Hex(words.data(), sizeof words), Leaf{where, token_digest});
      // The same token is warned about above.
      if (inserted || first->second.token_digest == token_digest) continue;
      const std::string& earlier = first->second.where;
      auto known = std::find_if(one_key_with.begin(), one_key_with.end(),
                                [&](const auto& entry) { return entry.first == earlier; });
      if (known == one_key_with.end()) {
        one_key_with.emplace_back(earlier, prefix);
      } else {
        known->second += " and " + prefix;
      }
    }
    for (const auto& [earlier, variants] : one_key_with) {
      std::cerr << "warning: " << label_ << " leaves " << earlier << " and " << where
                << " hold different tokens that are one bcrypt key under " << variants << "; a "
                << variants << " code for one is valid for the other\n";
    }
  }

  const std::string label_;
  const json& format_;
  const std::set<std::string>& public_digests_;
  const std::size_t max_token_bytes_;
  const hv::HostNameRule host_name_rule_;
  json hosts_ = json::object();
  std::string host_;
  int leaves_ = 0;
  int undecodable_ = 0;
  std::vector<std::string> demo_token_leaves_;
  hv::LeafDigests leaf_digests_;
  std::map<std::string, std::string> first_leaf_of_digest_;
  struct Leaf {
    std::string where;
    std::string token_digest;
  };
  // Keyed by variant prefix and the digest of that variant's key words.
  std::map<std::string, Leaf> first_leaf_of_key_;
};

void WriteAtomically(const std::string& path, const std::string& content) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) throw std::runtime_error("cannot write " + temp);
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot write " + path);
}

// The fleet key: HMAC-SHA256 keyed with the encoded table's own bytes, so that
// every table gets a fresh key that only holders of the build can compute. Not
// from the table's fingerprint, which the manifest publishes.
void WriteFleetKey(const std::string& table_text, const std::string* previous_text,
                   const std::string& until_text, const std::string& path) {
  // The label alone for a build without a previous table; with one, the
  // previous table's text and the end of the overlap follow it, each behind
  // its length, so that no two builds share a message.
  std::string message = "header-validator fleet key v1";
  if (previous_text != nullptr) {
    for (const std::string* part : {previous_text, &until_text}) {
      message += '\0' + std::to_string(part->size()) + ':';
      message += *part;
    }
  }
  const hv::WipeOnExit wipe_message(message);
  std::array<unsigned char, 32> key{};
  const hv::WipeOnExit wipe_key(key.data(), key.size());
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), table_text.data(), static_cast<int>(table_text.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), key.data(),
           &length) == nullptr ||
      length != key.size()) {
    throw std::runtime_error("HMAC-SHA256 failed");
  }
  std::string hex = Hex(key.data(), key.size());
  const hv::WipeOnExit wipe_hex(hex);
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + temp);
    // Readable by the owner only, before it holds anything.
    std::filesystem::permissions(
        temp, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
        std::filesystem::perm_options::replace);
    out << hex << '\n';
    if (!out.flush()) throw std::runtime_error("cannot write " + temp);
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0)
    throw std::runtime_error("cannot write " + path);
}

bool DemoTokensAllowed() {
  const char* allow = std::getenv(kDemoTokensSwitch);
  return allow != nullptr && std::string(allow) == "1";
}

// A custom table with public demo tokens would let anyone in at those
// combinations: an error, or with the override a warning for each leaf. `table`
// names it in the summary ("this custom table", "the previous table").
void CheckDemoTokens(const std::vector<std::string>& demo_token_leaves, const std::string& label,
                     const std::string& table) {
  if (demo_token_leaves.empty()) return;
  if (DemoTokensAllowed()) {
    for (const auto& where : demo_token_leaves) {
      std::cerr << "warning: " << label << " leaf " << where
                << " holds a public demo token (allowed by " << kDemoTokensSwitch
                << "=1); anyone can make valid codes for it\n";
    }
    return;
  }
  for (const auto& where : demo_token_leaves) {
    std::cerr << "error: " << label << " leaf " << where << " holds a public demo token\n";
  }
  const std::size_t count = demo_token_leaves.size();
  throw std::runtime_error(
      (count == 1 ? "1 leaf of " + table + " holds a public demo token"
                  : std::to_string(count) + " leaves of " + table + " hold public demo tokens") +
      ", and anyone can make valid codes for those combinations; encode the table from tokens of "
      "your own "
      "(header-validator encode refuses demo tokens), or set " +
      std::string(kDemoTokensSwitch) + "=1 for a throwaway test build");
}

std::int64_t NowMs() {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) throw std::runtime_error("cannot read the clock");
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// The end of the overlap, checked against this build's clock.
std::int64_t CheckOverlapEnd(const std::string& text, std::int64_t now_ms) {
  const std::string setting = kPreviousUntilSetting;
  const auto until = hv::ParseUtcInstant(text);
  if (!until) {
    throw PreviousTableError(setting + " '" + hv::PrintableName(text) +
                             "' is not a UTC instant: write it in ISO 8601 ending in Z, such as "
                             "2027-03-01T00:00:00Z");
  }
  const std::string clock = " (this build's clock: " + hv::FormatUtcInstant(now_ms) + ")";
  if (*until <= now_ms) {
    throw PreviousTableError(setting + " " + hv::FormatUtcInstant(*until) + " has passed" + clock +
                             ", so the previous table would verify nothing; set a later end, or "
                             "build without " +
                             kPreviousTableSetting + " and " + setting);
  }
  constexpr std::int64_t kLongestOverlapMs = kLongestOverlapDays * 86'400'000;
  if (*until - now_ms > kLongestOverlapMs) {
    throw PreviousTableError(setting + " " + hv::FormatUtcInstant(*until) + " is more than " +
                             std::to_string(kLongestOverlapDays) + " days ahead" + clock +
                             "; old tokens must not outlive their rotation that long: set an end "
                             "within " +
                             std::to_string(kLongestOverlapDays) + " days");
  }
  return *until;
}

json CombinationNames(const std::vector<hv::Combination>& combinations) {
  json names = json::array();
  for (const auto& c : combinations) names.push_back({c.host, c.platform, c.user_type});
  return names;
}

std::string JoinNames(const std::vector<hv::Combination>& combinations) {
  std::string joined;
  for (const auto& c : combinations) joined += (joined.empty() ? "" : ", ") + c.Name();
  return joined;
}

struct PreviousTable {
  std::string path;
  std::string until_text;
};

// Checks the previous table against the current one (its text and its walk)
// and returns the manifest's "previous" object. Prints what it changes.
// since: this build's clock, recorded as the start of the overlap.
json CheckPrevious(const PreviousTable& previous, std::int64_t since, std::int64_t until,
                   const std::string& current_text, const ManifestVisitor& current,
                   const json& format, const std::set<std::string>& public_digests) {
  const std::string drop =
      std::string("build without ") + kPreviousTableSetting + " and " + kPreviousUntilSetting;
  const std::string text = ReadFile(previous.path);
  if (text == current_text) {
    throw PreviousTableError(previous.path +
                             " holds the same bytes as the current table, so it carries nothing "
                             "to rotate; name the table the current one replaces, or " +
                             drop);
  }
  ManifestVisitor visitor(format, public_digests, "previous token table");
  try {
    hv::WalkTokenTable(ParseRejectingDuplicates(text, previous.path), visitor);
    if (visitor.leaves() == 0)
      throw std::runtime_error(previous.path + ": the table has no tokens");
    CheckDemoTokens(visitor.demo_token_leaves(), "previous token table", "the previous table");
  } catch (const std::exception& e) {
    throw PreviousTableError(e.what());
  }

  const hv::RotationReport report =
      hv::CompareTables(current.leaf_digests(), visitor.leaf_digests());
  if (report.rotated.empty()) {
    throw PreviousTableError(
        "no combination of " + previous.path + " holds a token other than the current table's (" +
        std::to_string(report.unchanged.size()) + " unchanged, " +
        std::to_string(report.removed.size()) +
        " only in the previous table), so it carries nothing to rotate; name the table the "
        "current one replaces, or " +
        drop);
  }
  const std::string until_text = hv::FormatUtcInstant(until);
  // A previous token that another combination holds now lets that combination's codes in here.
  for (const auto& combination : report.rotated) {
    const std::string* holder = current.LeafOfDigest(visitor.leaf_digests().at(combination));
    if (holder == nullptr) continue;
    std::cerr << "warning: previous token table leaf " << combination.Name()
              << " holds the current token of " << *holder << "; until " << until_text
              << " a code for " << *holder << " is valid for " << combination.Name() << " too\n";
  }

  const std::string sha256 = Sha256Hex(text);
  std::cerr << "note: previous table sha256:" << sha256 << " verifies until " << until_text << ": "
            << report.rotated.size() << " rotated, " << report.unchanged.size() << " unchanged, "
            << report.added.size() << " added, " << report.removed.size() << " removed\n"
            << "note: rotated (the previous token verifies too): " << JoinNames(report.rotated)
            << "\n";
  if (!report.added.empty()) {
    std::cerr << "note: added (current table only): " << JoinNames(report.added) << "\n";
  }
  if (!report.removed.empty()) {
    std::cerr << "note: removed (previous table only, refused): " << JoinNames(report.removed)
              << "\n";
  }
  return {
      {"sha256", sha256},
      {"since", hv::FormatUtcInstant(since)},
      {"until", until_text},
      {"leaves", visitor.leaves()},
      {"undecodableLeaves", visitor.undecodable()},
      {"demoTokenLeaves", static_cast<int>(visitor.demo_token_leaves().size())},
      {"rotated", CombinationNames(report.rotated)},
      {"unchanged", CombinationNames(report.unchanged)},
      {"added", CombinationNames(report.added)},
      {"removed", CombinationNames(report.removed)},
  };
}

// The platforms and user types the tables may use: those of the vocabulary
// file when one is given, else the format's own. Both follow one rule.
json PlatformsInUse(const json& format, const std::string& format_path,
                    const std::optional<hv::Vocabulary>& vocabulary) {
  if (vocabulary) return vocabulary->platforms;
  const hv::VocabularyRule rule(format.at("vocabularyFiles"));
  const json& platforms = format.at("platforms");
  if (const std::string problem = rule.Problem(platforms); !problem.empty()) {
    throw std::runtime_error(format_path + ": " + problem);
  }
  return platforms;
}

struct Arguments {
  std::string table;
  std::string format;
  std::string demo_table;
  std::string public_digests;
  std::string manifest_out;
  std::optional<std::string> fleet_key_out;
  std::optional<PreviousTable> previous;
  std::optional<std::string> vocabulary;
};

// Five paths, then --fleet-key <out>, --previous <table> <until> and
// --vocabulary <file> in any order, each at most once; nullopt for anything else.
std::optional<Arguments> ParseArguments(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 5) return std::nullopt;
  Arguments parsed{args[0], args[1],      args[2],      args[3],
                   args[4], std::nullopt, std::nullopt, std::nullopt};
  for (std::size_t i = 5; i < args.size();) {
    if (args[i] == "--fleet-key" && i + 1 < args.size() && !parsed.fleet_key_out) {
      parsed.fleet_key_out = args[i + 1];
      i += 2;
    } else if (args[i] == "--previous" && i + 2 < args.size() && !parsed.previous) {
      parsed.previous = PreviousTable{args[i + 1], args[i + 2]};
      i += 3;
    } else if (args[i] == "--vocabulary" && i + 1 < args.size() && !parsed.vocabulary) {
      parsed.vocabulary = args[i + 1];
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  return parsed;
}

int Run(const Arguments& args) {
  const std::optional<PreviousTable>& previous = args.previous;
  // The clock first: a wrong end fails at once, before any table is decoded.
  const std::int64_t now = NowMs();
  const std::int64_t until = previous ? CheckOverlapEnd(previous->until_text, now) : 0;

  const std::string& table_path = args.table;
  const std::string table_text = ReadFile(table_path);
  json format = json::parse(ReadFile(args.format));
  std::optional<hv::Vocabulary> vocabulary;
  if (args.vocabulary) {
    vocabulary =
        hv::ReadVocabularyFile(*args.vocabulary, hv::VocabularyRule(format.at("vocabularyFiles")));
  }
  format["platforms"] = PlatformsInUse(format, args.format, vocabulary);
  if (vocabulary) {
    std::cerr << "note: platforms and user types from " << *args.vocabulary << ": "
              << ListNames(vocabulary->platforms) << "\n";
  }
  const std::string demo_table_text = ReadFile(args.demo_table);
  const std::set<std::string> public_digests = ReadPublicDigests(args.public_digests);

  const json table = ParseRejectingDuplicates(table_text, table_path);
  ManifestVisitor visitor(format, public_digests, "token table");
  hv::WalkTokenTable(table, visitor);
  if (visitor.leaves() == 0) throw std::runtime_error(table_path + ": the table has no tokens");

  const std::string fingerprint = Sha256Hex(table_text);
  const int demo_token_leaves = static_cast<int>(visitor.demo_token_leaves().size());
  const bool committed_demo_table = fingerprint == Sha256Hex(demo_table_text);
  if (!committed_demo_table) {
    CheckDemoTokens(visitor.demo_token_leaves(), "token table", "this custom table");
  }
  const bool demo = committed_demo_table || demo_token_leaves == visitor.leaves();
  json manifest = {
      {"sha256", fingerprint},
      {"demo", demo},
      {"leaves", visitor.leaves()},
      {"undecodableLeaves", visitor.undecodable()},
      {"demoTokenLeaves", demo_token_leaves},
      {"hosts", visitor.hosts()},
  };
  // Only a record: the module takes its combinations from the table itself.
  if (vocabulary) {
    manifest["vocabulary"] = {{"sha256", Sha256Hex(vocabulary->text)},
                              {"platforms", vocabulary->platforms}};
  }
  if (previous) {
    manifest["previous"] =
        CheckPrevious(*previous, now, until, table_text, visitor, format, public_digests);
  }
  WriteAtomically(args.manifest_out, manifest.dump(2) + "\n");
  if (args.fleet_key_out) {
    // Whatever changes what the build accepts changes its keyspace: a build
    // that verifies previous tokens must not share entries with one that does not.
    const std::string previous_text = previous ? ReadFile(previous->path) : std::string();
    WriteFleetKey(table_text, previous ? &previous_text : nullptr,
                  previous ? hv::FormatUtcInstant(until) : std::string(), *args.fleet_key_out);
  }
  if (demo) {
    std::cerr << "note: this build carries the PUBLIC demo token table; no deployment may use it\n";
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Arguments> arguments = ParseArguments(argc, argv);
  if (!arguments) {
    std::cerr << "usage: table_manifest <table.json> <table_format.json> <demo-table.json> "
                 "<public_token_digests.json> <manifest-out.json> [--fleet-key <fleet-key-out>] "
                 "[--previous <previous-table.json> <until>] [--vocabulary <vocabulary.json>]\n";
    return 2;
  }
  try {
    return Run(*arguments);
  } catch (const hv::VocabularyError& e) {
    std::cerr << "error: vocabulary: " << e.what() << "\n";
    return 1;
  } catch (const PreviousTableError& e) {
    std::cerr << "error: previous token table: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "error: token table: " << e.what() << "\n";
    return 1;
  }
}
