// The encoder: an Intel HEX firmware build -> the scrambled 40,960-byte image file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "files/files.h"

namespace pelkar {

// A HEX text that gives no usable image; what() says why for the user.
class EncodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Converts HEX text into the image file's bytes: addresses 0 to 40,959, 0xFF where no
// record wrote, every byte at an offset i with i mod 4 == 3 forced to 0xFF, then scrambled.
// Throws HexError for a malformed line, EncodeError when the image would be blank (no data
// inside 0..40,959, or only bytes that end up 0xFF).
std::vector<std::uint8_t> EncodeHex(std::string_view text);

// The image file's path for a HEX file: beside it, its extension replaced by "bin"
// (fw.hex -> fw.bin, FW.HEX -> FW.bin, firmware -> firmware.bin).
std::filesystem::path EncodedImagePath(const std::filesystem::path& hex_file);

// The most HEX text read for an image: far more than any 8 MiB image needs (about 24 MB).
constexpr std::uint64_t kMaxHexTextSize = 64ull * 1024 * 1024;

// Reads a HEX file of at most kMaxHexTextSize bytes. Throws FileError.
std::string ReadHexFile(const std::filesystem::path& path);

// Reads a HEX file, encodes it and writes the image beside it. Returns the image's path.
// Throws HexError, EncodeError or FileError; nothing is written when it throws, and never
// over the HEX file itself.
std::filesystem::path EncodeHexFile(const std::filesystem::path& hex_file,
                                    std::vector<std::uint8_t>* image = nullptr);

}  // namespace pelkar
