#include "firmware/encoder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "firmware/image.h"
#include "hex/intel_hex.h"

namespace pelkar {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

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
  Scramble(image);
  return image;
}

std::filesystem::path EncodedImagePath(const std::filesystem::path& hex_file) {
  std::filesystem::path out = hex_file;
  out.replace_extension("bin");
  return out;
}

std::string ReadTextFile(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    throw EncodeError("Cannot read " + path.string() + ": it is a folder, not a file.");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EncodeError("Cannot read " + path.string() + ": " + std::strerror(errno) + ".");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad())
    throw EncodeError("Cannot read " + path.string() + ": " + std::strerror(errno) + ".");
  return text;
}

void WriteFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::filesystem::path temp = path;
  temp += ".part-" + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) ThrowErrno("Cannot write " + path.string());
  const auto fail = [&](const std::string& what) {
    const int saved = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    errno = saved;
    ThrowErrno(what);
  };
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("Cannot write " + path.string());
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) fail("Cannot write " + path.string());
  if (::close(fd) != 0) {
    const int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    ThrowErrno("Cannot write " + path.string());
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    ThrowErrno("Cannot replace " + path.string());
  }
  // The rename itself must reach the disk too, or a crash could bring the old name back.
  const auto folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

std::filesystem::path EncodeHexFile(const std::filesystem::path& hex_file,
                                    std::vector<std::uint8_t>* image) {
  const std::filesystem::path out = EncodedImagePath(hex_file);
  if (out == hex_file) {
    throw EncodeError("The image would replace the HEX file " + hex_file.string() +
                      " itself; rename the HEX file (e.g. to .hex) first.");
  }
  const std::vector<std::uint8_t> bytes = EncodeHex(ReadTextFile(hex_file));
  WriteFileAtomically(out, bytes);
  if (image != nullptr) *image = bytes;
  return out;
}

}  // namespace pelkar
