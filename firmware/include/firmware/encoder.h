// The encoder: an Intel HEX firmware build -> the scrambled 40,960-byte image file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace pelkar {

// A HEX text that gives no usable image; what() says why for the user.
class EncodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Converts HEX text into the image file's bytes: addresses 0 to 40,959, 0xFF where no
// record wrote, every byte at an offset i with i mod 4 == 3 forced to 0xFF, then scrambled.
// Throws HexError for a malformed line, EncodeError when no data byte falls inside 0..40,959.
std::vector<std::uint8_t> EncodeHex(std::string_view text);

// The image file's path for a HEX file: beside it, its extension replaced by "bin"
// (fw.hex -> fw.bin, FW.HEX -> FW.bin, firmware -> firmware.bin).
std::filesystem::path EncodedImagePath(const std::filesystem::path& hex_file);

// Reads a whole file as text. Throws EncodeError naming the file and the reason.
std::string ReadTextFile(const std::filesystem::path& path);

// Writes bytes to path through a temporary file in the same folder that is flushed to disk
// and then renamed over path, so path holds either its old content or all of the new one.
// Throws std::system_error (with the errno) naming the file.
void WriteFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Reads a HEX file, encodes it and writes the image beside it. Returns the image's path.
// Throws HexError, EncodeError or std::system_error; nothing is written when it throws.
std::filesystem::path EncodeHexFile(const std::filesystem::path& hex_file,
                                    std::vector<std::uint8_t>* image = nullptr);

}  // namespace pelkar
