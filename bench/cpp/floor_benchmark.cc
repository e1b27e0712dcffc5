// The floor: libxcrypt's bcrypt (crypt_rn) in a C++ loop, with nothing around
// it. The module cannot hash faster than this, so its JavaScript calls are
// compared with these figures. The Core* cases run the module's own Node-free
// wrapper (hv_core) on the same input, to tell wrapper cost from binding cost.
#include <benchmark/benchmark.h>
#include <crypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bcrypt/bcrypt.h"

namespace {

// 32 bytes, as long as the demo token the JavaScript benchmarks use; bcrypt's
// work does not depend on the key's length anyway.
constexpr char kToken[] = "R'}'<|SLxc-(wXsmWdZ\\8}@Y{hzj0L9`";
constexpr char kSalt22[] = "abcdefghijklmnopqrstuu";

std::string Setting(int cost) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "$2a$%02d$", cost);
  return std::string(buf) + kSalt22;
}

// One hash per iteration; crypt_data is allocated once per thread, as a
// caller that reuses its work area would.
void BM_CryptRn(benchmark::State& state) {
  const std::string setting = Setting(static_cast<int>(state.range(0)));
  auto* data = static_cast<crypt_data*>(std::calloc(1, sizeof(crypt_data)));
  if (data == nullptr) {
    state.SkipWithError("calloc failed");
    return;
  }
  for (auto _ : state) {
    const char* out = crypt_rn(kToken, setting.c_str(), data, static_cast<int>(sizeof(crypt_data)));
    if (out == nullptr || out[0] != '$') {
      state.SkipWithError("crypt_rn failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  std::free(data);
  state.SetItemsProcessed(state.iterations());
}

// The module's check path without Node: refusal checks, a fresh zeroed work
// area, crypt_rn, wiping, constant-time compare.
void BM_CoreCheckpw(benchmark::State& state) {
  const std::string setting = Setting(static_cast<int>(state.range(0)));
  char code[hv::kBcryptBufferSize];
  if (bcrypt_hashpw(kToken, setting.c_str(), code) != 0) {
    state.SkipWithError("bcrypt_hashpw failed");
    return;
  }
  for (auto _ : state) {
    const int rc = bcrypt_checkpw(kToken, code);
    if (rc != 0) {
      state.SkipWithError("bcrypt_checkpw refused a valid code");
      break;
    }
    benchmark::DoNotOptimize(rc);
  }
  state.SetItemsProcessed(state.iterations());
}

// The module's generate path without Node: salt from /dev/urandom, then hash.
void BM_CoreGenerate(benchmark::State& state) {
  const int cost = static_cast<int>(state.range(0));
  char salt[hv::kBcryptBufferSize];
  char hash[hv::kBcryptBufferSize];
  for (auto _ : state) {
    if (bcrypt_gensalt(cost, salt) != 0 || bcrypt_hashpw(kToken, salt, hash) != 0) {
      state.SkipWithError("generation failed");
      break;
    }
    benchmark::DoNotOptimize(hash);
  }
  state.SetItemsProcessed(state.iterations());
}

// Real time, not CPU time: with two threads the figure that matters is hashes
// per wall-clock second across both.
BENCHMARK(BM_CryptRn)
    ->ArgName("cost")
    ->Arg(10)
    ->Arg(12)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Threads(1)
    ->Threads(2);
BENCHMARK(BM_CoreCheckpw)->ArgName("cost")->Arg(12)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CoreGenerate)->ArgName("cost")->Arg(12)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
