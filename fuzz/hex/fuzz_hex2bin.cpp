// Arbitrary text into the reader: it either raises HexError or returns an image of exactly the
// window's size; what it returns, written back and read again, gives the same image.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "hex/intel_hex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose a small window, so data near it is hit often.
  const std::int32_t begin = data[0] * 16;
  const std::int32_t end = begin + 1 + data[1] * 4;
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
  pelkar::IntelHex hex;
  hex.AddresBegin(begin);
  hex.AddressEnd(end);
  try {
    const auto image = hex.Hex2Bin(text);
    if (image.size() != static_cast<std::size_t>(end - begin)) std::abort();
    if (hex.BytesStored() > text.size()) std::abort();
    const auto range = pelkar::IntelHex::DataRange(text);
    if (hex.BytesStored() > 0 && !range) std::abort();

    pelkar::IntelHex back;
    back.AddresBegin(0);
    back.AddressEnd(static_cast<std::int32_t>(image.size()));
    if (back.Hex2Bin(back.Bin2Hex(image)) != image) std::abort();
  } catch (const pelkar::HexError&) {
  }
  return 0;
}
