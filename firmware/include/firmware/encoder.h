// Turns Intel HEX text into a firmware image file (40,960 bytes, scrambled).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pelkar {

inline constexpr std::int32_t kEncoderWindowEnd = 40960;

// The image file name for a HEX file: its extension replaced by "bin" (fw.hex -> fw.bin,
// FW.HEX -> FW.bin), ".bin" appended when it has none. Same folder.
std::string ImageFileName(const std::string& hexPath);

// HEX text -> stored image: window 0..40959, 0xFF where nothing was written, every byte at
// i mod 4 == 3 forced to 0xFF, then scrambled. On refusal returns an English message
// ("line N: reason" for malformed HEX, or no data byte in the window).
std::variant<std::vector<std::uint8_t>, std::string> EncodeHex(std::string_view text);

// Writes all of `bytes` to the open descriptor; false on failure with errno set.
using FileWriter = std::function<bool(int fd, std::span<const std::uint8_t> bytes)>;
bool WriteAll(int fd, std::span<const std::uint8_t> bytes);

// Writes to a temporary file in the target's folder, fsyncs, then renames it over `path`.
// Any failure leaves an existing `path` untouched and removes the temporary file.
// Returns an empty string on success, else an English message with the OS reason.
std::string WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                                const FileWriter& writer = WriteAll);

struct EncodeSuccess {
  std::string imagePath;  // the file written
};
// Reads the whole HEX file, encodes it and writes the image beside it.
std::variant<EncodeSuccess, std::string> EncodeHexFile(const std::string& hexPath,
                                                       const FileWriter& writer = WriteAll);

}  // namespace pelkar
