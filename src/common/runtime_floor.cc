// Two definitions that keep the module loadable where Node.js 20 runs: glibc
// 2.28 and GCC 8's libstdc++ (RHEL 8). Without them, the module would take
// each from the build machine's newer libraries and need GLIBC_2.36 and
// GLIBCXX_3.4.29 for these two symbols alone. The version script keeps both
// local to the module, so they replace nothing in the process that loads it.
#include <cstddef>
#include <cstdlib>
#include <new>

// Debian 12's static libxcrypt refers to arc4random_buf (glibc 2.36) in
// crypt_gensalt_rn, which reads it only when the caller passes no random
// bytes. bcrypt_gensalt always passes 16 of its own from /dev/urandom, so this
// is never called; if that ever changed, stopping beats a salt of unknown
// randomness.
extern "C" void arc4random_buf(void* /*buffer*/, std::size_t /*size*/) noexcept { std::abort(); }

namespace std {

// GCC 11's and 12's headers call this (GLIBCXX_3.4.29) when an allocation's
// length overflows; older libstdc++ does not have it. Same behaviour as the
// library's own.
[[noreturn]] void __throw_bad_array_new_length() { throw bad_array_new_length(); }

}  // namespace std
