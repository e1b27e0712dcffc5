#include "bcrypt/bcrypt.h"

#include <crypt.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "bcrypt/auth_code_rules.h"
#include "common/wipe.h"

namespace {

constexpr std::size_t kRandomBytes = 16;

// crypt_rn's work area holds material derived from the token.
struct CryptDataDeleter {
  void operator()(crypt_data* data) const {
    hv::Wipe(data, sizeof(crypt_data));
    std::free(data);
  }
};
using CryptDataPtr = std::unique_ptr<crypt_data, CryptDataDeleter>;

class UrandomFd {
 public:
  UrandomFd() : fd_(::open("/dev/urandom", O_RDONLY | O_CLOEXEC)) {}
  UrandomFd(const UrandomFd&) = delete;
  UrandomFd& operator=(const UrandomFd&) = delete;
  ~UrandomFd() {
    if (fd_ >= 0) Close();
  }

  bool is_open() const { return fd_ >= 0; }

  // False on a read error or end of file before size bytes.
  bool ReadFully(char* buf, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
      const ssize_t n = ::read(fd_, buf + got, size - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      got += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Linux releases the descriptor even when close reports EINTR, so that counts as closed; a
  // retry could close a descriptor another thread has opened since.
  bool Close() {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 || errno == EINTR;
  }

 private:
  int fd_;
};

}  // namespace

int bcrypt_gensalt(int factor, char salt[hv::kBcryptBufferSize]) {
  char random[kRandomBytes] = {};
  const hv::WipeOnExit wipe_random(random);
  {
    UrandomFd urandom;
    if (!urandom.is_open()) return 1;
    const bool read_ok = urandom.ReadFully(random, kRandomBytes);
    const bool close_ok = urandom.Close();
    if (!read_ok) return close_ok ? 2 : 4;
    if (!close_ok) return 3;
  }
  const int cost = factor >= 4 && factor <= 31 ? factor : 12;
  if (crypt_gensalt_rn("$2a$", static_cast<unsigned long>(cost), random,
                       static_cast<int>(kRandomBytes), salt, hv::kBcryptBufferSize) == nullptr) {
    return 5;
  }
  return 0;
}

int bcrypt_hashpw(const char* token, const char* setting, char hash[hv::kBcryptBufferSize]) {
  if (!hv::HasBcryptPrefix(std::string_view(setting, strnlen(setting, 4)))) return 1;

  // libxcrypt refuses a whole setting with, say, a space anywhere in it, even past the part
  // bcrypt reads; a received auth code is only a setting up to its 29th character.
  char head[hv::kAuthCodeSettingLength + 1] = {};
  std::memcpy(head, setting, strnlen(setting, hv::kAuthCodeSettingLength));

  CryptDataPtr data(static_cast<crypt_data*>(std::calloc(1, sizeof(crypt_data))));
  if (!data) return 1;
  const char* result = crypt_rn(token, head, data.get(), static_cast<int>(sizeof(crypt_data)));
  if (result == nullptr) return 1;
  const std::size_t length = strnlen(result, hv::kAuthCodeLength + 1);
  if (length > hv::kAuthCodeLength) return 1;
  std::memcpy(hash, result, length + 1);
  return 0;
}

int bcrypt_checkpw(const char* token, const char* auth_code) {
  // All refusals come before hashing: the client picks the code, and with it the work.
  switch (hv::ClassifyAuthCode(
      std::string_view(auth_code, strnlen(auth_code, hv::kAuthCodeLength + 1)))) {
    case hv::AuthCodeShape::kRefusedSetting:
      return -1;
    case hv::AuthCodeShape::kRefusedForm:
      return 1;
    case hv::AuthCodeShape::kHashable:
      break;
  }

  char computed[hv::kBcryptBufferSize] = {};
  const hv::WipeOnExit wipe_computed(computed);
  if (bcrypt_hashpw(token, auth_code, computed) != 0) return hv::kCheckpwHashingFailed;

  // Constant time: every byte is visited whatever differs.
  unsigned diff = 0;
  for (std::size_t i = 0; i < hv::kAuthCodeLength; ++i) {
    diff |= static_cast<unsigned char>(auth_code[i]) ^ static_cast<unsigned char>(computed[i]);
  }
  return static_cast<int>(diff);
}
