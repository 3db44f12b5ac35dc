#include "serial_adapters.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace pelkar {
namespace {

namespace fs = std::filesystem;

// Virtual ports: links COM200..COM255 in the user's runtime folder.
fs::path VirtualPortDir() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    return fs::path(runtime) / "pelkar1";
  }
  return fs::path("/tmp") / ("pelkar1-" + std::to_string(::getuid()));
}

std::string DevicePath(std::uint8_t number) {
  if (number >= 200) return (VirtualPortDir() / ("COM" + std::to_string(number))).string();
  struct Range {
    int first;
    const char* prefix;
  };
  static constexpr Range kRanges[] = {
      {1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}, {97, "/dev/ttyAMA"}};
  for (const Range& r : kRanges) {
    if (number >= r.first && number < r.first + 32) {
      return r.prefix + std::to_string(number - r.first);
    }
  }
  return {};
}

class VirtualPortDiscovery final : public PortDiscovery {
 public:
  void Query() override {
    entries_.clear();
    std::error_code ec;
    for (int n = 200; n <= 255; ++n) {
      const fs::path link = VirtualPortDir() / ("COM" + std::to_string(n));
      if (!fs::exists(link, ec)) continue;
      entries_.emplace_back("Simulated device " + fs::read_symlink(link, ec).string() + " (COM" +
                                std::to_string(n) + ")",
                            static_cast<std::uint8_t>(n));
    }
  }
  std::uint8_t Count() const override {
    return entries_.empty() ? 1 : static_cast<std::uint8_t>(entries_.size());
  }
  std::string Name(std::uint8_t index) const override {
    return index < entries_.size() ? entries_[index].first : std::string();
  }
  std::uint8_t Number(std::uint8_t index) const override {
    return index < entries_.size() ? entries_[index].second : 0;
  }

 private:
  std::vector<std::pair<std::string, std::uint8_t>> entries_;
};

class TermiosChannel final : public PortChannel {
 public:
  ~TermiosChannel() override { Close(); }

  bool Open(std::uint8_t number, std::int32_t baud) override {
    Close();
    const std::string path = DevicePath(number);
    if (path.empty() || baud != 115200) return false;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    termios tio{};
    if (::ioctl(fd, TIOCEXCL) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        ::tcgetattr(fd, &tio) != 0) {
      ::close(fd);
      return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag =
        static_cast<tcflag_t>((tio.c_cflag & ~(CSIZE | PARENB | CSTOPB)) | CS8 | CLOCAL | CREAD);
    tio.c_iflag &= static_cast<tcflag_t>(~(IXON | IXOFF | IXANY));
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
      ::close(fd);
      return false;
    }
    ::tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    return true;
  }
  bool IsOpen() const override { return fd_ >= 0; }
  int Descriptor() const override { return fd_; }

  ReadResult ReadWaiting(std::vector<std::uint8_t>& out) override {
    if (fd_ < 0) return ReadResult::kLost;
    std::uint8_t buffer[512];
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n > 0) {
        out.insert(out.end(), buffer, buffer + n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadResult::kOk;
      return ReadResult::kLost;  // end of file or EIO: the other side is gone
    }
  }

  bool Write(std::span<const std::uint8_t> data) override {
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0 || (p.revents & (POLLERR | POLLHUP))) return false;
      } else {
        return false;
      }
    }
    return true;
  }

  void Close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace

std::shared_ptr<PortDiscovery> MakeSystemPortDiscovery() {
  return std::make_shared<VirtualPortDiscovery>();
}
std::shared_ptr<PortChannel> MakeSerialChannel() {
  return std::make_shared<TermiosChannel>();
}

}  // namespace pelkar
