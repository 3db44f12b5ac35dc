#include "firmware/image.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace pelkar {

std::uint16_t Crc16A(std::span<const std::uint8_t> Buffer, std::int32_t Hossz) {
  std::uint16_t crc = 0xFFFF;
  if (Hossz <= 0) return crc;
  if (static_cast<std::size_t>(Hossz) > Buffer.size())
    throw std::invalid_argument("Crc16A: length exceeds buffer");
  for (std::int32_t i = 0; i < Hossz; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (Buffer[static_cast<std::size_t>(i)] << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<std::uint16_t>(crc << 1);
  }
  return crc;
}

void Scramble(std::span<std::uint8_t> bytes, std::size_t offset) noexcept {
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(bytes[i] ^ (((offset + i) * 71u) & 0xFFu));
}

std::int32_t ImageCrc(std::span<const std::uint8_t> stored) {
  if (stored.size() > kMaxImageSize) throw std::invalid_argument("image longer than 8 MiB");
  std::int64_t sum = 0;
  std::array<std::uint8_t, kBlockSize> block{};
  for (std::size_t b = 0; b + kBlockSize <= stored.size(); b += kBlockSize) {
    std::memcpy(block.data(), stored.data() + b, kBlockSize);
    Scramble(block, b);
    if (b == 0) std::memset(block.data(), 0, 8);
    sum += Crc16A(block, static_cast<std::int32_t>(kBlockSize));
  }
  return static_cast<std::int32_t>(sum);  // 32768 blocks * 65535 fits
}

std::array<std::uint8_t, 4> ChecksumWireBytes(std::int32_t checksum) noexcept {
  const auto u = static_cast<std::uint32_t>(checksum);
  return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
          static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 24)};
}

std::vector<std::uint8_t> SelfTestPattern() {
  std::vector<std::uint8_t> p(kSelfTestSize);
  for (std::size_t i = 0; i < p.size(); ++i)
    p[i] = static_cast<std::uint8_t>(i & 0xFFu);
  return p;
}

std::int32_t SelfTestChecksum() {
  const auto p = SelfTestPattern();
  std::int32_t sum = 0;
  for (std::size_t b = 0; b < p.size(); b += kBlockSize)
    sum += Crc16A(std::span(p).subspan(b, kBlockSize), static_cast<std::int32_t>(kBlockSize));
  return sum;
}

std::variant<LoadedImage, std::string> LoadImageFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "Cannot read " + path + ": " + std::strerror(errno);
  std::vector<std::uint8_t> bytes;
  char buf[65536];
  while (in) {
    in.read(buf, sizeof buf);
    bytes.insert(bytes.end(), buf, buf + in.gcount());
    if (bytes.size() > kMaxImageSize)
      return path + " is longer than 8 MiB and cannot be an image file";
  }
  if (in.bad()) return "Cannot read " + path;
  if (bytes.empty()) return path + " is empty";
  if (bytes.size() % kBlockSize != 0)
    return path + " is not a whole number of 256-byte blocks (" + std::to_string(bytes.size()) +
           " bytes)";
  LoadedImage img;
  img.checksum = ImageCrc(bytes);
  img.bytes = std::move(bytes);
  return img;
}

}  // namespace pelkar
