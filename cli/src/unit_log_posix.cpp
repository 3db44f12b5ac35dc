#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "files/files.h"
#include "output.h"
#include "unit_log.h"

namespace pelkar::cli {
namespace {

std::string Why(const std::string& path, const char* step) {
  return "Cannot " + std::string(step) + " the log " + Printable(path) + ": " +
         std::strerror(errno);
}

}  // namespace

UnitLog::UnitLog(const std::string& path, std::span<const std::filesystem::path> reads)
    : path_(path) {
  CheckLogPath(path, reads);
  // O_NONBLOCK: a FIFO in its place is refused below instead of blocking the open.
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0) throw Failure{kBadInput, Why(path, "open") + "."};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw Failure{kBadInput, "The log " + Printable(path) + " is no regular file."};
  }
  native_ = fd;
}

UnitLog::~UnitLog() {
  if (native_ >= 0) ::close(static_cast<int>(native_));
}

bool UnitLog::Append(std::string_view record) {
  const int fd = static_cast<int>(native_);
  std::string line(record);
  line += '\n';
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      error_ = Why(path_, "lock");
      return false;
    }
  }
  bool ok = true;
  // One write for the record: with O_APPEND it lands whole at the end. A short write (a full
  // disk) is finished under the same lock.
  for (std::size_t done = 0; ok && done < line.size();) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      error_ = Why(path_, "write");
      ok = false;
    }
  }
  if (ok && ::fsync(fd) != 0) {
    error_ = Why(path_, "sync");
    ok = false;
  }
  ::flock(fd, LOCK_UN);
  return ok;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace pelkar::cli
