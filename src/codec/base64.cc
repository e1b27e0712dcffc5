#include "codec/base64.h"

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>
#include <stdexcept>

namespace hv {
namespace {

struct BioChainFree {
  void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using BioChain = std::unique_ptr<BIO, BioChainFree>;

[[noreturn]] void Fail() { throw std::runtime_error("Base64 decoding failed"); }

}  // namespace

std::string Base64Decode(const std::string& text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) Fail();

  BIO* source = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  if (source == nullptr) Fail();
  BIO* filter = BIO_new(BIO_f_base64());
  if (filter == nullptr) {
    BIO_free(source);
    Fail();
  }
  // From here on the chain owns both ends and frees them together.
  BioChain chain(BIO_push(filter, source));
  BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);

  std::string decoded(text.size() / 4 * 3 + (text.size() % 4) * 3 / 4, '\0');
  const int read =
      decoded.empty() ? 0 : BIO_read(chain.get(), decoded.data(), static_cast<int>(decoded.size()));
  chain.reset();

  if (read < 1) Fail();
  decoded.resize(static_cast<std::size_t>(read));
  return decoded;
}

}  // namespace hv
