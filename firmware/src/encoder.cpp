#include "firmware/encoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "firmware/image.h"
#include "hex/intel_hex.h"

namespace pelkar {

std::string ImageFileName(const std::string& hexPath) {
  const std::filesystem::path p(hexPath);
  auto name = p.filename().string();
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0)
    name += ".bin";
  else
    name = name.substr(0, dot) + ".bin";
  return (p.parent_path() / name).string();
}

std::variant<std::vector<std::uint8_t>, std::string> EncodeHex(std::string_view text) {
  IntelHex hex;
  hex.AddresBegin(0);
  hex.AddressEnd(kEncoderWindowEnd);
  std::vector<std::uint8_t> image;
  try {
    image = hex.Hex2Bin(text);
  } catch (const HexError& e) {
    if (e.line() == 0) return e.reason();
    return "line " + std::to_string(e.line()) + ": " + e.reason();
  }
  if (hex.BytesStored() == 0)
    return std::string("The HEX file holds no data for addresses 0 to 40959");
  image.resize(static_cast<std::size_t>(kEncoderWindowEnd), 0xFF);
  for (std::size_t i = 3; i < image.size(); i += 4)
    image[i] = 0xFF;
  Scramble(image);
  return image;
}

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const auto n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

std::string WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                                const FileWriter& writer) {
  std::string tmp = path + ".XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) return "Cannot create a file beside " + path + ": " + std::strerror(errno);
  auto fail = [&](const char* what) {
    const int err = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    return std::string(what) + " " + path + ": " + std::strerror(err);
  };
  if (!writer(fd, bytes)) return fail("Cannot write");
  if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0) return fail("Cannot write");
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return "Cannot write " + path + ": " + std::strerror(err);
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    return "Cannot replace " + path + ": " + std::strerror(err);
  }
  return {};
}

std::variant<EncodeSuccess, std::string> EncodeHexFile(const std::string& hexPath,
                                                       const FileWriter& writer) {
  std::ifstream in(hexPath, std::ios::binary);
  if (!in) return "Cannot read " + hexPath + ": " + std::strerror(errno);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return "Cannot read " + hexPath;
  auto encoded = EncodeHex(text.str());
  if (auto* err = std::get_if<std::string>(&encoded)) return hexPath + ": " + *err;
  const auto out = ImageFileName(hexPath);
  auto err = WriteFileAtomically(out, std::get<std::vector<std::uint8_t>>(encoded), writer);
  if (!err.empty()) return err;
  return EncodeSuccess{out};
}

}  // namespace pelkar
