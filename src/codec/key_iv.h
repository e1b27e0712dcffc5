// Separates the AES key and IV from an encoded text, where they sit
// interleaved with the outer text in groups of four bytes.
#pragma once

#include <string>
#include <utility>

// kAesKeyBytes, kAesIvBytes and the sizes of the interleaved groups: from
// shared/table_format.json, which the table encoder reads too.
#include "table_format_data.h"

namespace hv {

static_assert(kAesKeyBytes == 32 && kAesIvBytes == 16,
              "AES-256-CBC takes a 32-byte key and a 16-byte IV");
static_assert(kAesKeyBytes % kKeyIvBytesPerGroup == 0 && kAesIvBytes % kKeyIvBytesPerGroup == 0,
              "the key and the IV fill whole groups");

// Removes the key and IV bytes from text in place, copies what remains (the
// outer text) into rest and returns {key, iv}. A short text yields a short key
// and IV; lengths are checked where they are used.
std::pair<std::string, std::string> ExtractKeyIV(std::string& text, std::string& rest);

}  // namespace hv
