#include "codec/aes256cbc.h"

#include <openssl/evp.h>

#include <climits>
#include <memory>
#include <stdexcept>

#include "codec/key_iv.h"

namespace hv {
namespace {

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

std::string DecryptAES256CBC(const std::string& ciphertext, const std::string& key,
                             const std::string& iv) {
  if (key.size() != kAesKeyBytes || iv.size() != kAesIvBytes) {
    throw std::runtime_error("Encoded text too short for key and IV");
  }
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) throw std::runtime_error("Failed to create EVP_CIPHER_CTX");

  if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, Bytes(key), Bytes(iv)) != 1) {
    throw std::runtime_error("Failed to initialize AES-256-CBC decryption");
  }
  if (ciphertext.size() > static_cast<std::size_t>(INT_MAX) - 16) {
    throw std::runtime_error("AES decryption failed");
  }

  std::string plain(ciphertext.size() + 16, '\0');
  auto* out = reinterpret_cast<unsigned char*>(plain.data());
  int update_len = 0;
  if (EVP_DecryptUpdate(ctx.get(), out, &update_len, Bytes(ciphertext),
                        static_cast<int>(ciphertext.size())) != 1) {
    throw std::runtime_error("AES decryption failed");
  }
  int final_len = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), out + update_len, &final_len) != 1) {
    throw std::runtime_error("AES decryption finalization failed");
  }
  plain.resize(static_cast<std::size_t>(update_len + final_len));
  return plain;
}

}  // namespace hv
