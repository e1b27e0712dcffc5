#include "common/wipe.h"

#include <openssl/crypto.h>

namespace hv {

void Wipe(void* data, std::size_t size) noexcept {
  if (data != nullptr && size > 0) OPENSSL_cleanse(data, size);
}

void Wipe(std::string& s) noexcept {
  Wipe(s.data(), s.size());
  s.clear();
}

WipeOnExit::~WipeOnExit() {
  if (string_ != nullptr) {
    Wipe(*string_);
  } else {
    Wipe(data_, size_);
  }
}

}  // namespace hv
