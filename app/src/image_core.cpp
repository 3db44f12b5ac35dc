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

#include "firmware/image.h"
#include "hex/intel_hex.h"

namespace pelkar {

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
