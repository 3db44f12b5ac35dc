#include "firmware/encoder.h"

#include <algorithm>

#include "firmware/image.h"
#include "hex/intel_hex.h"

namespace pelkar {

std::vector<std::uint8_t> EncodeHex(std::string_view text) {
  IntelHex hex;
  hex.AddresBegin(0);
  hex.AddressEnd(static_cast<std::int32_t>(kEncodedImageSize));
  std::vector<std::uint8_t> image = hex.Hex2Bin(text);
  if (hex.BytesStored() == 0) {
    throw EncodeError(
        "The HEX file holds no data for addresses 0 to 40,959; the image would be blank.");
  }
  for (std::size_t i = 3; i < image.size(); i += 4)
    image[i] = 0xFF;
  if (std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == 0xFF; })) {
    throw EncodeError(
        "The HEX file's data for addresses 0 to 40,959 is all 0xFF or falls only on the bytes "
        "the image keeps at 0xFF (every fourth); the image would be blank.");
  }
  Scramble(image);
  return image;
}

std::filesystem::path EncodedImagePath(const std::filesystem::path& hex_file) {
  std::filesystem::path out = hex_file;
  out.replace_extension("bin");
  return out;
}

std::string ReadHexFile(const std::filesystem::path& path) {
  return ReadFileLimited(path, kMaxHexTextSize,
                         "it is larger than 64 MiB, far more than any firmware HEX file");
}

std::filesystem::path EncodeHexFile(const std::filesystem::path& hex_file,
                                    std::vector<std::uint8_t>* image) {
  const std::filesystem::path out = EncodedImagePath(hex_file);
  if (out == hex_file) {
    throw EncodeError("The image would replace the HEX file " + Printable(Utf8(hex_file)) +
                      " itself; rename the HEX file (e.g. to .hex) first.");
  }
  const std::filesystem::path inputs[] = {hex_file};
  CheckOutput(out, inputs);  // before the work: a folder or device there is refused at once
  const std::vector<std::uint8_t> bytes = EncodeHex(ReadHexFile(hex_file));
  WriteFileAtomically(out, bytes, inputs);
  if (image != nullptr) *image = bytes;
  return out;
}

}  // namespace pelkar
