#include "hex/intel_hex.h"

namespace pelkar {

HexError::HexError(std::size_t line, const std::string& reason)
    : std::runtime_error(line == 0 ? reason : "line " + std::to_string(line) + ": " + reason),
      line_(line),
      reason_(reason) {}

std::vector<std::uint8_t> IntelHex::Hex2Bin(std::string_view) {
  throw HexError(0, "the HEX reader is not built yet");
}

std::string IntelHex::Bin2Hex(std::span<const std::uint8_t>) const {
  throw HexError(0, "the HEX writer is not built yet");
}

std::optional<HexDataRange> IntelHex::DataRange(std::string_view) {
  throw HexError(0, "the HEX reader is not built yet");
}

}  // namespace pelkar
