// The checksums of an update: CRC-16/CCITT-FALSE of a block, and the image checksum that
// the device verifies at the end of an update.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace pelkar {

// CRC-16/CCITT-FALSE (polynomial 0x1021, start 0xFFFF, no reflection, no final XOR) of the
// first Hossz bytes of Buffer, bit by bit, as 0..65535. Hossz <= 0 gives 0xFFFF. Throws
// std::invalid_argument when Hossz exceeds Buffer's size: no byte past the end is read.
std::int32_t Crc16A(std::span<const std::uint8_t> Buffer, std::int32_t Hossz);

// Plain sum of Crc16A over the consecutive 256-byte blocks of content (its length must be a
// whole number of blocks, at most 8 MiB, so the sum stays within 32 bits). With
// zero_first_eight the first 8 bytes of block 0 count as 0.
std::int32_t BlockCrcSum(std::span<const std::uint8_t> content, bool zero_first_eight);

// The 4 bytes a checksum travels as, least significant first.
std::array<std::uint8_t, 4> CrcWireBytes(std::int32_t crc) noexcept;

}  // namespace pelkar
