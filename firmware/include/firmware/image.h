// Checksums and byte rules of firmware image files.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace pelkar {

inline constexpr std::size_t kBlockSize = 256;
inline constexpr std::size_t kMaxImageSize = 8u * 1024u * 1024u;  // keeps ImageCrc in int32
inline constexpr std::size_t kSelfTestSize = 40960;

// CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF) of the first Hossz bytes of Buffer, bitwise.
// Hossz <= 0 gives 0xFFFF. Throws std::invalid_argument when Hossz > Buffer.size().
std::uint16_t Crc16A(std::span<const std::uint8_t> Buffer, std::int32_t Hossz);

// XORs byte i with (i * 71) mod 256, i counted from `offset`. Its own inverse.
void Scramble(std::span<std::uint8_t> bytes, std::size_t offset = 0) noexcept;

// Sum of Crc16A over every whole 256-byte block of the descrambled image, bytes 0-7 of
// block 0 counted as 0. A trailing partial block is ignored. The input is not changed.
// Throws std::invalid_argument for an image longer than kMaxImageSize.
std::int32_t ImageCrc(std::span<const std::uint8_t> stored);

// The checksum as sent to the device: 4 bytes, least significant first.
std::array<std::uint8_t, 4> ChecksumWireBytes(std::int32_t checksum) noexcept;

// The self-test pattern (byte i = i mod 256, 40,960 bytes) and its block checksum sum,
// computed without scrambling: 2,610,720. The value is set, never accumulated.
std::vector<std::uint8_t> SelfTestPattern();
std::int32_t SelfTestChecksum();

// A loaded image file: the stored (scrambled) bytes exactly as read, plus their ImageCrc.
struct LoadedImage {
  std::vector<std::uint8_t> bytes;
  std::int32_t checksum = 0;
};

// Reads an image file. On refusal returns an English message (unreadable, empty, not a
// whole number of 256-byte blocks, longer than 8 MiB); nothing else is touched.
std::variant<LoadedImage, std::string> LoadImageFile(const std::string& path);

}  // namespace pelkar
