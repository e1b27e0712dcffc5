// The module's own definitions of two library symbols newer than its oldest
// supported systems (src/common/runtime_floor.cc), linked here as in the module.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <new>
#include <string>

#include "bcrypt/bcrypt.h"

namespace {

TEST(RuntimeFloor, SaltsNeverReachTheAbortingArc4randomStandIn) {
  // The stand-in is what libxcrypt binds to here, and it stops the process...
  char byte = 0;
  EXPECT_EXIT(arc4random_buf(&byte, 1), testing::KilledBySignal(SIGABRT), "");
  // ...yet salts and hashes work: bcrypt_gensalt hands libxcrypt its own random bytes.
  char salt[hv::kBcryptBufferSize] = {};
  ASSERT_EQ(bcrypt_gensalt(4, salt), 0);
  char hash[hv::kBcryptBufferSize] = {};
  ASSERT_EQ(bcrypt_hashpw("a token of twenty-two+", salt, hash), 0);
  EXPECT_EQ(bcrypt_checkpw("a token of twenty-two+", hash), 0);
  EXPECT_EQ(std::string(hash).substr(0, 29), std::string(salt));

  EXPECT_THROW(std::__throw_bad_array_new_length(), std::bad_array_new_length);
}

}  // namespace
