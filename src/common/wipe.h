// Token material (decoded tokens, their intermediate texts, bcrypt's key
// schedule and salts) is cleared before its memory goes back to the allocator,
// on every path out of the scope that holds it: return or throw.
#pragma once

#include <cstddef>
#include <string>

namespace hv {

// Overwrites size bytes at data with zeros, in a way the compiler cannot drop.
void Wipe(void* data, std::size_t size) noexcept;

// Overwrites the characters of s, then empties it.
void Wipe(std::string& s) noexcept;

// Wipes what it guards when it goes out of scope. A string is wiped at its
// size then, whatever it grew or shrank to meanwhile.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& s) noexcept : string_(&s) {}
  WipeOnExit(void* data, std::size_t size) noexcept : data_(data), size_(size) {}
  template <std::size_t N>
  explicit WipeOnExit(char (&buffer)[N]) noexcept : WipeOnExit(buffer, N) {}
  ~WipeOnExit();

  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  std::string* string_ = nullptr;
  void* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace hv
