#pragma once

#include <string>

namespace hv {

// AES-256-CBC decryption with PKCS#7 padding. Throws std::runtime_error with
// a fixed message on failure; a key other than 32 bytes or an IV other than 16
// is refused before OpenSSL reads either.
std::string DecryptAES256CBC(const std::string& ciphertext, const std::string& key,
                             const std::string& iv);

}  // namespace hv
