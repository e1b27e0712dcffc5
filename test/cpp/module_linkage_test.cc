// Checks the built module as Node.js will load it: only the standard runtime
// libraries needed, only the two entry symbols exported, and a real dlopen
// with every symbol bound at load.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <regex>
#include <set>
#include <string>

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

const std::string kModule = HV_MODULE_PATH;

TEST(ModuleLinkage, NeedsOnlyTheStandardRuntimeLibraries) {
  const std::string dynamic = Capture("readelf -dW '" + kModule + "'");
  ASSERT_NE(dynamic.find("NEEDED"), std::string::npos) << dynamic;
  EXPECT_EQ(Matches(dynamic, std::regex(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])")),
            (std::set<std::string>{"libc.so.6", "libgcc_s.so.1", "libstdc++.so.6"}));
  // Bound at load, so a host without a needed symbol fails there, not mid-call.
  EXPECT_NE(dynamic.find("BIND_NOW"), std::string::npos);
}

TEST(ModuleLinkage, ExportsOnlyTheTwoEntrySymbols) {
  const std::string symbols = Capture("nm -D --defined-only '" + kModule + "'");
  ASSERT_FALSE(symbols.empty());
  EXPECT_EQ(
      Matches(symbols, std::regex(R"(\s[A-Za-z]\s(\S+)\n)")),
      (std::set<std::string>{"napi_register_module_v1", "node_api_module_get_api_version_v1"}));
}

TEST(ModuleLinkage, LeavesOpenSslToTheHostProcess) {
  const std::string undefined = Capture("nm -D --undefined-only '" + kModule + "'");
  EXPECT_NE(undefined.find("EVP_DecryptInit_ex"), std::string::npos);
  EXPECT_NE(undefined.find("napi_create_function"), std::string::npos);
  // libxcrypt is linked in and kept local.
  EXPECT_EQ(undefined.find("crypt_rn"), std::string::npos);
}

TEST(ModuleLinkage, LoadsAndReportsNodeApiVersion8) {
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
