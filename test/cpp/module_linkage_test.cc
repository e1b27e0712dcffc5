// Checks the built module as Node.js will load it: only the standard runtime
// libraries needed, no symbol version newer than the oldest supported systems
// offer, only the two entry symbols exported, and a real dlopen with every
// symbol bound at load.
//
// Everything but the dlopen is read with readelf, so the same checks hold the
// cross-built linux-arm64 module: HV_MODULE_UNDER_TEST names a module other
// than this build's, and the dlopen is skipped for one of another machine.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Capture(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return "";
  std::string out;
  std::array<char, 4096> buffer{};
  while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), pipe.get()) != nullptr) {
    out += buffer.data();
  }
  return out;
}

std::set<std::string> Matches(const std::string& text, const std::regex& pattern) {
  std::set<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) {
    found.insert((*it)[1].str());
  }
  return found;
}

std::string ModulePath() {
  const char* other = std::getenv("HV_MODULE_UNDER_TEST");
  return other != nullptr && *other != '\0' ? other : HV_MODULE_PATH;
}

// readelf's name for the machine a module is built for.
std::string Machine(const std::string& module) {
  std::smatch match;
  const std::string header = Capture("readelf -hW '" + module + "'");
  return std::regex_search(header, match, std::regex(R"(Machine:\s+([^\n]+))")) ? match[1].str()
                                                                                : "";
}

#if defined(__x86_64__)
constexpr char kHostMachine[] = "Advanced Micro Devices X86-64";
#elif defined(__aarch64__)
constexpr char kHostMachine[] = "AArch64";
#else
constexpr char kHostMachine[] = "";
#endif

struct DynamicSymbol {
  std::string name;
  std::string version;  // empty when unversioned
  bool defined;
  bool global;
};

std::vector<DynamicSymbol> DynamicSymbols(const std::string& module) {
  // "  61: 0000000000000000  0 FUNC  GLOBAL DEFAULT  UND name@GLIBC_2.2.5 (3)"
  const std::regex line(
      R"(^\s*\d+:\s+\S+\s+\S+\s+\S+\s+(\S+)\s+\S+\s+(\S+)\s+([^\s@]+)(@@?(\S+))?)");
  std::vector<DynamicSymbol> symbols;
  std::istringstream in(Capture("readelf --dyn-syms -W '" + module + "'"));
  std::string text;
  std::smatch match;
  while (std::getline(in, text)) {
    if (!std::regex_search(text, match, line)) continue;
    symbols.push_back({match[3].str(), match[5].str(), match[2].str() != "UND",
                       match[1].str() == "GLOBAL" || match[1].str() == "WEAK"});
  }
  return symbols;
}

// "2.2.5" -> {2, 2, 5}, compared element by element.
std::vector<int> VersionNumbers(const std::string& dotted) {
  std::vector<int> numbers;
  std::istringstream in(dotted);
  std::string part;
  while (std::getline(in, part, '.')) numbers.push_back(std::atoi(part.c_str()));
  return numbers;
}

const std::string kModule = ModulePath();

TEST(ModuleLinkage, NeedsOnlyTheStandardRuntimeLibraries) {
  const std::string dynamic = Capture("readelf -dW '" + kModule + "'");
  ASSERT_NE(dynamic.find("NEEDED"), std::string::npos) << dynamic;
  std::set<std::string> expected{"libc.so.6", "libgcc_s.so.1", "libstdc++.so.6"};
  // On arm64 the stack protector's guard lives in the dynamic loader.
  if (Machine(kModule) == "AArch64") expected.insert("ld-linux-aarch64.so.1");
  EXPECT_EQ(Matches(dynamic, std::regex(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])")), expected);
  // Bound at load, so a host without a needed symbol fails there, not mid-call.
  EXPECT_NE(dynamic.find("BIND_NOW"), std::string::npos);
}

// Node.js unloads a module that only a worker thread loaded when that worker
// exits, but the thread that writes the module's lines to standard error runs
// the module's code for as long as the process lives: once loaded, it stays.
TEST(ModuleLinkage, StaysLoadedOnceLoaded) {
  const std::string dynamic = Capture("readelf -dW '" + kModule + "'");
  EXPECT_TRUE(std::regex_search(dynamic, std::regex(R"(\(FLAGS_1\)\s+Flags:.*\bNODELETE\b)")))
      << dynamic;
}

// The oldest systems the module must load on: glibc 2.28 is the floor of the
// official Node.js 20 binaries; libstdc++ 3.4.25 and C++ ABI 1.3.11 are GCC 8's,
// RHEL 8's system library.
TEST(ModuleLinkage, NeedsNoSymbolVersionAboveTheSupportedFloor) {
  const std::map<std::string, std::string> floors{
      {"GLIBC", "2.28"}, {"GLIBCXX", "3.4.25"}, {"CXXABI", "1.3.11"}};
  const std::regex versioned(R"(^(GLIBC|GLIBCXX|CXXABI)_([0-9]+(\.[0-9]+)*)$)");
  std::map<std::string, std::vector<int>> highest;
  std::vector<std::string> above;
  for (const DynamicSymbol& symbol : DynamicSymbols(kModule)) {
    if (symbol.defined || symbol.version.empty()) continue;
    std::smatch match;
    if (!std::regex_match(symbol.version, match, versioned)) {
      // GLIBC_PRIVATE and the like promise nothing from one release to the next.
      if (symbol.version.rfind("GLIBC", 0) == 0 || symbol.version.rfind("CXXABI", 0) == 0) {
        above.push_back(symbol.name + "@" + symbol.version);
      }
      continue;
    }
    const std::vector<int> version = VersionNumbers(match[2].str());
    std::vector<int>& top = highest[match[1].str()];
    if (version > top) top = version;
    if (version > VersionNumbers(floors.at(match[1].str()))) {
      above.push_back(symbol.name + "@" + symbol.version);
    }
  }
  ASSERT_FALSE(highest["GLIBC"].empty()) << "no versioned glibc symbol found in " << kModule;
  EXPECT_EQ(above, std::vector<std::string>{})
      << "needs symbol versions above glibc " << floors.at("GLIBC") << ", GLIBCXX_"
      << floors.at("GLIBCXX") << ", CXXABI_" << floors.at("CXXABI");
}

TEST(ModuleLinkage, ExportsOnlyTheTwoEntrySymbols) {
  std::set<std::string> exported;
  for (const DynamicSymbol& symbol : DynamicSymbols(kModule)) {
    if (symbol.defined && symbol.global) exported.insert(symbol.name);
  }
  EXPECT_EQ(exported, (std::set<std::string>{"napi_register_module_v1",
                                             "node_api_module_get_api_version_v1"}));
}

TEST(ModuleLinkage, LeavesOpenSslToTheHostProcess) {
  std::set<std::string> undefined;
  for (const DynamicSymbol& symbol : DynamicSymbols(kModule)) {
    if (!symbol.defined) undefined.insert(symbol.name);
  }
  EXPECT_EQ(undefined.count("EVP_DecryptInit_ex"), 1U);
  EXPECT_EQ(undefined.count("napi_create_function"), 1U);
  // libxcrypt is linked in and kept local.
  EXPECT_EQ(undefined.count("crypt_rn"), 0U);
}

TEST(ModuleLinkage, LoadsAndReportsNodeApiVersion8) {
  const std::string machine = Machine(kModule);
  if (machine != kHostMachine)
    GTEST_SKIP() << "built for " << machine << "; checked under emulation";
  void* handle = dlopen(kModule.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  using VersionFn = int32_t (*)();
  auto version = reinterpret_cast<VersionFn>(dlsym(handle, "node_api_module_get_api_version_v1"));
  ASSERT_NE(version, nullptr) << dlerror();
  EXPECT_EQ(version(), 8);
  EXPECT_NE(dlsym(handle, "napi_register_module_v1"), nullptr);
  EXPECT_EQ(dlsym(handle, "bcrypt_checkpw"), nullptr);
  dlclose(handle);
}

}  // namespace
