#include "firmware/image.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "firmware/crc.h"

namespace pelkar {

void Scramble(std::span<std::uint8_t> bytes, std::size_t offset) noexcept {
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] ^= ScrambleKey(offset + i);
}

std::optional<std::string> ImageSizeProblem(std::size_t size) {
  if (size == 0) return "it is empty";
  if (size > kMaxImageSize) return "it is larger than 8 MiB (8,388,608 bytes)";
  if (size % kBlockSize != 0) {
    return "it is " + std::to_string(size) +
           " bytes long, which is not a whole number of 256-byte blocks";
  }
  return std::nullopt;
}

std::int32_t ImageCrc(std::span<const std::uint8_t> stored) {
  if (auto problem = ImageSizeProblem(stored.size())) {
    throw std::invalid_argument("ImageCrc: " + *problem);
  }
  std::vector<std::uint8_t> plain(stored.begin(), stored.end());
  Scramble(plain);
  return BlockCrcSum(plain, /*zero_first_eight=*/true);
}

FirmwareImage LoadImageFile(const std::filesystem::path& path) {
  const std::string name = path.string();
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    throw ImageFileError("Cannot read " + name + ": it is a folder, not a file.");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw ImageFileError("Cannot read " + name + ": " + std::strerror(errno) + ".");
  }
  // Read at most one byte past the limit: enough to refuse a file that is too large
  // without loading all of it.
  std::vector<std::uint8_t> bytes(kMaxImageSize + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) {
    throw ImageFileError("Cannot read " + name + ": " + std::strerror(errno) + ".");
  }
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (auto problem = ImageSizeProblem(bytes.size())) {
    throw ImageFileError("Cannot use " + name + " as a firmware image: " + *problem + ".");
  }
  bytes.shrink_to_fit();
  FirmwareImage image{std::move(bytes), 0};
  image.crc = ImageCrc(image.bytes);
  return image;
}

FirmwareImage SelfTestImage() {
  FirmwareImage image;
  image.bytes.resize(kEncodedImageSize);
  for (std::size_t i = 0; i < image.bytes.size(); ++i) {
    image.bytes[i] = static_cast<std::uint8_t>(i % 256);
  }
  image.crc = BlockCrcSum(image.bytes, /*zero_first_eight=*/false);
  return image;
}

}  // namespace pelkar
