#include "firmware/crc.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "firmware/image.h"

namespace pelkar {

std::int32_t Crc16A(std::span<const std::uint8_t> Buffer, std::int32_t Hossz) {
  if (Hossz > 0 && static_cast<std::size_t>(Hossz) > Buffer.size()) {
    throw std::invalid_argument("Crc16A: length " + std::to_string(Hossz) +
                                " exceeds the buffer of " + std::to_string(Buffer.size()));
  }
  std::uint32_t reg = 0xFFFF;
  for (std::int32_t i = 0; i < Hossz; ++i) {
    reg ^= std::uint32_t{Buffer[static_cast<std::size_t>(i)]} << 8;
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 0x8000) ? (reg << 1) ^ 0x1021 : reg << 1;
      reg &= 0xFFFF;
    }
  }
  return static_cast<std::int32_t>(reg);
}

std::int32_t BlockCrcSum(std::span<const std::uint8_t> content, bool zero_first_eight) {
  if (content.size() % kBlockSize != 0 || content.size() > kMaxImageSize) {
    throw std::invalid_argument("BlockCrcSum: " + std::to_string(content.size()) +
                                " bytes is not a whole number of blocks within 8 MiB");
  }
  std::array<std::uint8_t, kBlockSize> block{};  // the staging buffer of one block
  std::int32_t sum = 0;
  for (std::size_t offset = 0; offset < content.size(); offset += kBlockSize) {
    std::copy_n(content.begin() + static_cast<std::ptrdiff_t>(offset), kBlockSize, block.begin());
    if (offset == 0 && zero_first_eight) std::fill_n(block.begin(), 8, std::uint8_t{0});
    sum += Crc16A(block, static_cast<std::int32_t>(kBlockSize));
  }
  return sum;
}

std::array<std::uint8_t, 4> CrcWireBytes(std::int32_t crc) noexcept {
  const auto v = static_cast<std::uint32_t>(crc);
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

}  // namespace pelkar
