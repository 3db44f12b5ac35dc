// SHA-256 (FIPS 180-4), for the fingerprints a production log keeps of every file and image
// sent: small enough to own rather than pull in a crypto library for one digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace pelkar {

class Sha256 {
 public:
  Sha256() noexcept;
  // Adds bytes; may be called any number of times before Digest().
  void Update(std::span<const std::uint8_t> bytes) noexcept;
  void Update(std::string_view text) noexcept;
  // The 32-byte digest; the object is spent afterwards.
  std::array<std::uint8_t, 32> Digest() noexcept;

 private:
  void Compress(const std::uint8_t* block) noexcept;

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes added
};

// The digest of bytes as 64 lower-case hexadecimal digits, as sha256sum prints it.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);
std::string Sha256Hex(std::string_view text);

}  // namespace pelkar
