// Thin wrapper over libxcrypt's bcrypt: salt strings, hashing and checking of
// auth codes. Integer result codes, no exceptions, no state, nothing printed.
#pragma once

// kVerificationCostCap, the highest cost that bcrypt_checkpw hashes, the other
// rules of a received code, and kGenerationCost, the cost written into
// generated auth codes: from shared/auth_code_rules.json.
#include "auth_code_rules_data.h"

namespace hv {

// Buffers handed to the wrapper are at least this large.
inline constexpr int kBcryptBufferSize = 64;

// The client chooses the cost of the code it sends, and each step doubles the
// work done on the server's thread, so checks stop at kVerificationCostCap.
// Raising kGenerationCost later means deploying servers with a raised cap
// first, or they will refuse every new code.
static_assert(kGenerationCost <= kVerificationCostCap, "servers would refuse the codes they make");

// bcrypt_checkpw's result when a code that passed every check could not be
// hashed (no work area, or libxcrypt failed): a fault of the server, which
// says nothing about the code.
inline constexpr int kCheckpwHashingFailed = -2;

}  // namespace hv

// 0 on success; 1 "/dev/urandom" did not open; 2 a read failed or hit end of
// file; 3 closing failed after a full read; 4 a read and the close failed;
// 5 libxcrypt refused the salt. A factor outside 4..31 is replaced by 12.
int bcrypt_gensalt(int factor, char salt[hv::kBcryptBufferSize]);

// 0 when hash holds the 60-character auth code of token under setting (only
// its first 29 characters are read); 1 when hashing failed, including for any
// setting not starting "$2a$", "$2b$", "$2x$" or "$2y$". bcrypt keys on at most
// the first 72 bytes of token; libxcrypt refuses a token of 512 bytes or more.
int bcrypt_hashpw(const char* token, const char* setting, char hash[hv::kBcryptBufferSize]);

// 0 when auth_code matches token. -1 when auth_code does not start with an
// accepted setting or its cost is above kVerificationCostCap; 1 when it has
// the wrong length or characters no hash can produce; otherwise 1..255 for
// any other mismatch. Refusals are decided before any hashing, by
// ClassifyAuthCode (bcrypt/auth_code_rules.h). hv::kCheckpwHashingFailed (-2)
// when hashing itself fails: the work area cannot be allocated, or libxcrypt
// refuses the token (512 bytes or more).
int bcrypt_checkpw(const char* token, const char* auth_code);
