// Decoded tokens as the module's readers see them: the module hands each token
// to JavaScript as UTF-8 text, which replaces every ill-formed sequence with
// U+FFFD, so bcrypt hashes those bytes, not the table's.
#pragma once

#include <string>
#include <string_view>

namespace hv {

// The bytes of `bytes` read as UTF-8 text and written back: well-formed text
// comes back unchanged; each maximal ill-formed subpart becomes U+FFFD, as
// the WHATWG decoder that V8 follows does.
std::string AsUtf8Text(std::string_view bytes);

}  // namespace hv
