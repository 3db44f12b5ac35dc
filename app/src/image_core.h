// Image rules the window relies on: the block checksum, loading an image file with its
// refusals, the self-test pattern, encoding a HEX text, the output name and a safe write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelkar {

class IntelHex;

inline constexpr std::size_t kImageBlock = 256;
inline constexpr std::int32_t kEncoderEnd = 40960;

// CRC-16/CCITT-FALSE of the first n bytes (0xFFFF for n <= 0).
std::int32_t Crc16A(std::span<const std::uint8_t> buffer, std::int32_t n);

// Stored byte i XOR ((i * 71) mod 256), in place; the same call undoes it.
void Scramble(std::span<std::uint8_t> bytes);

// The checksum sent to the device: the sum of the block CRCs of the descrambled bytes, with
// bytes 0..7 of the first block counted as 0. Whole blocks only.
std::int32_t ImageChecksum(std::span<const std::uint8_t> plain);

struct LoadedImage {
  std::vector<std::uint8_t> image;  // the file's bytes as stored (scrambled)
  std::int32_t crc = 0;
};
struct LoadRefusal {
  std::string text;  // what the user is told
};
// Reads an image file. Refuses a missing or unreadable file, an empty one, one that is not
// a whole number of 256-byte blocks, and one too large for the checksum's range.
std::optional<LoadedImage> LoadImageFile(const std::filesystem::path& path, LoadRefusal& why);

// The self-test: the pattern 0, 1, ..., 255 repeated 160 times, and its checksum (bytes 0..7
// counted as they are): 2,610,720.
std::vector<std::uint8_t> SelfTestPattern();
std::int32_t SelfTestChecksum(std::span<const std::uint8_t> pattern);

// HEX text -> the scrambled 40,960-byte image (every fourth byte forced to 0xFF first).
// Throws HexError for a malformed text; throws std::runtime_error when it holds no data.
std::vector<std::uint8_t> EncodeHex(IntelHex& hex, std::string_view text);

// The image file's name from the HEX file's name: its last three characters removed wherever
// they occur, then "bin" appended ("fw.hex" -> "fw.bin").
std::string OutputName(const std::string& title);

// Writes bytes to a temporary name beside path and renames it over path, so a failure never
// leaves a half-written file. Returns an error text, or nothing on success.
std::optional<std::string> WriteFileAtomically(const std::filesystem::path& path,
                                               std::span<const std::uint8_t> bytes);

}  // namespace pelkar
