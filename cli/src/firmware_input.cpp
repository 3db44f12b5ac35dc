#include "firmware_input.h"

#include <algorithm>
#include <cctype>

#include "firmware/encoder.h"
#include "files/files.h"
#include "firmware/sha256.h"
#include "hex/intel_hex.h"
#include "output.h"

namespace pelkar::cli {
namespace {

bool EndsWithFolded(const std::string& name, std::string_view suffix) {
  if (name.size() < suffix.size()) return false;
  return std::equal(
      suffix.begin(), suffix.end(), name.end() - static_cast<long>(suffix.size()),
      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

}  // namespace

bool IsHexInput(const std::string& name, std::span<const char> head) {
  for (const char* ext : {".hex", ".ihx", ".ihex"}) {
    if (EndsWithFolded(name, ext)) return true;
  }
  const auto first = std::find_if(head.begin(), head.end(), [](char c) {
    return c != ' ' && c != '\t' && c != '\r' && c != '\n';
  });
  if (first == head.end() || *first != ':') return false;
  return std::all_of(head.begin(), head.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 0x20 && u < 0x7F) || c == '\r' || c == '\n' || c == '\t' || u == 0x1A;
  });
}

FirmwareInput LoadFirmware(const std::string& path) {
  const std::filesystem::path file = Utf8Path(path);
  FirmwareInput input;
  try {
    char head[512];
    std::size_t n = 0;
    {
      InputFile peek(file, kMaxHexTextSize, "it is larger than 64 MiB");
      for (std::size_t got = 1; got > 0 && n < sizeof head;) {
        got = peek.Read(std::span(head + n, sizeof head - n));
        n += got;
      }
    }
    input.from_hex = IsHexInput(path, std::span<const char>(head, n));
    if (!input.from_hex) {
      input.image = LoadImageFile(file);
      input.image_sha256 = input.file_sha256 = Sha256Hex(input.image.bytes);
      return input;
    }
    const std::string text = ReadHexFile(file);
    input.file_sha256 = Sha256Hex(text);
    input.image.bytes = EncodeHex(text);
    input.image.crc = ImageCrc(input.image.bytes);
    input.image_sha256 = Sha256Hex(input.image.bytes);
    return input;
  } catch (const HexError& e) {
    throw Failure{kBadInput, Printable(path) + ": " + e.what() + "."};
  } catch (const EncodeError& e) {
    throw Failure{kBadInput, Printable(path) + ": " + e.what()};
  } catch (const ImageFileError& e) {
    throw Failure{kBadInput, std::string(e.what()) +
                                 " Choose an image written by `pelkar1 encode`, or the Intel "
                                 "HEX build itself."};
  } catch (const FileError& e) {
    throw Failure{kBadInput, e.what()};
  }
}

}  // namespace pelkar::cli
