// The firmware image file: raw bytes, scrambled, sent to the device as stored, in 256-byte
// blocks; its checksum is taken over the descrambled content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "firmware/wire.h"

namespace pelkar {

constexpr std::size_t kMaxImageSize = 8 * 1024 * 1024;  // beyond it the sum may leave 32 bits
constexpr std::size_t kEncodedImageSize = 40960;        // what the encoder writes: 160 blocks
constexpr std::int32_t kSelfTestCrc = 2610720;          // 160 blocks of 0..255, 16317 each

// Key of byte i of an image file: stored = plain XOR key.
constexpr std::uint8_t ScrambleKey(std::size_t i) noexcept {
  return static_cast<std::uint8_t>((i * 71) % 256);
}

// Scrambles plain bytes, or descrambles stored ones: the operation is its own inverse.
// offset is the file offset of bytes[0].
void Scramble(std::span<std::uint8_t> bytes, std::size_t offset = 0) noexcept;

// Why an image of this size cannot be sent, as a clause for the user ("it is empty");
// nothing when it can.
std::optional<std::string> ImageSizeProblem(std::size_t size);

// The checksum the device expects for a stored (scrambled) image: the sum of the block CRCs
// of its descrambled content, bytes 0-7 of the first block counted as 0. The stored bytes
// are not changed. Throws std::invalid_argument for a size ImageSizeProblem refuses.
std::int32_t ImageCrc(std::span<const std::uint8_t> stored);

// An image ready to send: the bytes exactly as stored, and their checksum.
struct FirmwareImage {
  std::vector<std::uint8_t> bytes;
  std::int32_t crc = 0;
};

// A file that cannot be used as an image; what() says why, in English, for the user.
class ImageFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads an image file for an update. Throws ImageFileError when the file cannot be read, is
// empty, is not a whole number of 256-byte blocks, or is larger than 8 MiB.
FirmwareImage LoadImageFile(const std::filesystem::path& path);

// The self-test image: 40,960 bytes of the pattern i mod 256 and their block checksum sum
// (2,610,720; the pattern's bytes 0-7 are counted, and nothing is descrambled).
FirmwareImage SelfTestImage();

}  // namespace pelkar
