// Produces encoded tokens the way the table producer does, with OpenSSL's
// encrypting side, so the decoder is checked against an independent encoder.
#pragma once

#include <openssl/evp.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "codec/key_iv.h"
#include "codec/token_mask.h"

namespace hv::testing {

inline std::string Base64Encode(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

inline std::string EncryptAes256Cbc(const std::string& plain, const std::string& key,
                                    const std::string& iv) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(plain.size() + 16, '\0');
  int len = 0;
  int fin = 0;
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  const bool ok =
      EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr,
                         reinterpret_cast<const unsigned char*>(key.data()),
                         reinterpret_cast<const unsigned char*>(iv.data())) == 1 &&
      EVP_EncryptUpdate(ctx, o, &len, reinterpret_cast<const unsigned char*>(plain.data()),
                        static_cast<int>(plain.size())) == 1 &&
      EVP_EncryptFinal_ex(ctx, o + len, &fin) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) throw std::runtime_error("encryption failed");
  out.resize(static_cast<std::size_t>(len + fin));
  return out;
}

// The encoded text: outer text with key and IV interleaved in twelve groups.
inline std::string EncodeText(const std::string& token, const std::string& key,
                              const std::string& iv) {
  std::string masked = token;
  for (char& c : masked) c = static_cast<char>(c ^ static_cast<char>(kTokenMask));
  const std::string outer = Base64Encode(EncryptAes256Cbc(Base64Encode(masked), key, iv));
  const std::string key_iv = key + iv;
  constexpr std::size_t kGroups = (kAesKeyBytes + kAesIvBytes) / kKeyIvBytesPerGroup;
  std::string encoded;
  for (std::size_t g = 0; g < kGroups; ++g) {
    encoded += outer.substr(kOuterTextBytesPerGroup * g, kOuterTextBytesPerGroup);
    encoded += key_iv.substr(kKeyIvBytesPerGroup * g, kKeyIvBytesPerGroup);
  }
  const std::size_t interleaved = kGroups * kOuterTextBytesPerGroup;
  if (outer.size() > interleaved) encoded += outer.substr(interleaved);
  return encoded;
}

inline std::vector<std::string> ToNumerals(const std::string& encoded) {
  std::vector<std::string> numerals;
  for (char c : encoded) numerals.push_back(std::to_string(static_cast<unsigned char>(c)));
  return numerals;
}

}  // namespace hv::testing
