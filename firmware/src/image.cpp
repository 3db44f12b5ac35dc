#include "firmware/image.h"

#include "firmware/crc.h"
#include "files/files.h"

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
  std::vector<std::uint8_t> bytes;
  try {
    // Refused one byte past the limit, without loading all of a file that is too large.
    InputFile file(path, kMaxImageSize, *ImageSizeProblem(kMaxImageSize + 1));
    bytes = file.ReadAll();
  } catch (const FileError& e) {
    throw ImageFileError(e.what());
  }
  if (auto problem = ImageSizeProblem(bytes.size())) {
    throw ImageFileError("Cannot use " + Printable(Utf8(path)) +
                         " as a firmware image: " + *problem + ".");
  }
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
