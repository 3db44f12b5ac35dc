#include "image_core.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>

#include "hex/intel_hex.h"

namespace pelkar {

std::int32_t Crc16A(std::span<const std::uint8_t> buffer, std::int32_t n) {
  std::uint32_t reg = 0xFFFF;
  for (std::int32_t i = 0; i < n && static_cast<std::size_t>(i) < buffer.size(); ++i) {
    reg ^= static_cast<std::uint32_t>(buffer[static_cast<std::size_t>(i)]) << 8;
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 0x8000) ? (reg << 1) ^ 0x1021 : reg << 1;
      reg &= 0xFFFF;
    }
  }
  return static_cast<std::int32_t>(reg);
}

void Scramble(std::span<std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(bytes[i] ^ ((i * 71) % 256));
  }
}

std::int32_t ImageChecksum(std::span<const std::uint8_t> plain) {
  std::int64_t sum = 0;
  std::uint8_t block[kImageBlock];
  for (std::size_t offset = 0; offset + kImageBlock <= plain.size(); offset += kImageBlock) {
    std::memcpy(block, plain.data() + offset, kImageBlock);
    if (offset == 0) std::memset(block, 0, 8);
    sum += Crc16A(block, static_cast<std::int32_t>(kImageBlock));
  }
  return static_cast<std::int32_t>(sum);
}

std::optional<LoadedImage> LoadImageFile(const std::filesystem::path& path, LoadRefusal& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why.text = "Can't read " + path.string() + ": " + std::strerror(errno) + ".";
    return std::nullopt;
  }
  LoadedImage loaded;
  loaded.image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    why.text = "Can't read " + path.string() + ".";
    return std::nullopt;
  }
  const std::size_t length = loaded.image.size();
  // Beyond 32,768 blocks the checksum could leave its signed 32-bit range.
  constexpr std::size_t kMaxLength = std::size_t{32768} * kImageBlock;
  if (length == 0 || length % kImageBlock != 0 || length > kMaxLength) {
    why.text = path.filename().string() + " is not a firmware image: its length (" +
               std::to_string(length) +
               " bytes) must be a non-zero multiple of 256 bytes, at most 8 MiB.";
    return std::nullopt;
  }
  std::vector<std::uint8_t> plain = loaded.image;
  Scramble(plain);
  loaded.crc = ImageChecksum(plain);
  return loaded;
}

std::vector<std::uint8_t> SelfTestPattern() {
  std::vector<std::uint8_t> pattern(static_cast<std::size_t>(kEncoderEnd));
  for (std::size_t i = 0; i < pattern.size(); ++i)
    pattern[i] = static_cast<std::uint8_t>(i);
  return pattern;
}

std::int32_t SelfTestChecksum(std::span<const std::uint8_t> pattern) {
  std::int32_t sum = 0;
  for (std::size_t offset = 0; offset + kImageBlock <= pattern.size(); offset += kImageBlock) {
    sum += Crc16A(pattern.subspan(offset, kImageBlock), static_cast<std::int32_t>(kImageBlock));
  }
  return sum;
}

std::vector<std::uint8_t> EncodeHex(IntelHex& hex, std::string_view text) {
  hex.AddresBegin(0);
  hex.AddressEnd(kEncoderEnd);
  std::vector<std::uint8_t> image = hex.Hex2Bin(text);
  if (hex.BytesStored() == 0) {
    throw std::runtime_error("the file holds no data for addresses 0 to 40,959");
  }
  for (std::size_t i = 3; i < image.size(); i += 4)
    image[i] = 0xFF;
  Scramble(image);
  return image;
}

std::string OutputName(const std::string& title) {
  const std::string tail = title.size() < 3 ? title : title.substr(title.size() - 3);
  std::string name;
  for (std::size_t i = 0; i < title.size();) {
    if (!tail.empty() && title.compare(i, tail.size(), tail) == 0) {
      i += tail.size();
    } else {
      name += title[i++];
    }
  }
  return name + "bin";
}

std::optional<std::string> WriteFileAtomically(const std::filesystem::path& path,
                                               std::span<const std::uint8_t> bytes) {
  const auto fail = [&](const char* what, int error) {
    return std::string(what) + " " + path.string() + ": " + std::strerror(error);
  };
  std::string temp = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return fail("Can't create", errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      return fail("Can't write", error);
    }
    done += static_cast<std::size_t>(n);
  }
  // mkstemp makes the file 0600; give it the mode a plain create would have.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, static_cast<mode_t>(0666 & ~mask));
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    return fail("Can't write", error);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    return fail("Can't replace", error);
  }
  return std::nullopt;
}

}  // namespace pelkar
