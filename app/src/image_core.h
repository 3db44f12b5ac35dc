// The encoder mode's rules: encoding a HEX text, the output name and a safe write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelkar {

class IntelHex;

inline constexpr std::int32_t kEncoderEnd = 40960;

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
