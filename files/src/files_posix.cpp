#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "files_system.h"
#include "files/files.h"

namespace pelkar {

using system_file::Name;
using system_file::ThrowErrno;

namespace {

void RemovePendingAndDie(int sig) {
  for (int i = 0; i < system_file::kPendingSlots; ++i) {
    if (system_file::pending_set[i].load()) ::unlink(system_file::pending[i]);
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void RefuseUnlessRegular(const std::filesystem::path& path, const struct stat& st) {
  if (S_ISDIR(st.st_mode)) {
    throw FileError("Cannot read " + Name(path) + ": it is a folder, not a file.");
  }
  if (!S_ISREG(st.st_mode)) {
    throw FileError("Cannot read " + Name(path) +
                    ": it is a device, pipe or socket, not a regular file; name a file.");
  }
}

}  // namespace

InputFile::InputFile(const std::filesystem::path& path, std::uint64_t limit,
                     std::string_view too_large)
    : path_(path), limit_(limit), too_large_(too_large) {
  // A terminal, a FIFO or a socket could block the open or any read for good: only a regular
  // file is read. Looked at before the open (opening a device can act, as /dev/ptmx does) and
  // again on what was opened, without blocking, in case the name changed meanwhile.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) RefuseUnlessRegular(path, st);
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd_ < 0) ThrowErrno("Cannot read " + Name(path), errno);
  try {
    if (::fstat(fd_, &st) != 0) ThrowErrno("Cannot read " + Name(path), errno);
    RefuseUnlessRegular(path, st);
  } catch (const FileError&) {
    ::close(fd_);
    fd_ = -1;
    throw;
  }
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
}

InputFile::~InputFile() {
  if (map_ != nullptr) ::munmap(map_, map_size_);
  if (fd_ >= 0) ::close(fd_);
}

std::span<const std::uint8_t> InputFile::View() {
  struct stat st {};
  // Only a plain file has a size that holds while mapped; a device or pipe is read.
  if (map_ == nullptr && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
      static_cast<std::uint64_t>(st.st_size) <= limit_) {
    const auto size = static_cast<std::size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd_, 0);
    if (map != MAP_FAILED) {
      map_ = map;
      map_size_ = size;
    }
  }
  if (map_ != nullptr) return {static_cast<const std::uint8_t*>(map_), map_size_};
  Rewind();
  held_ = ReadAll();
  return held_;
}

std::size_t InputFile::Read(std::span<char> out) {
  // Never more than one byte past the limit: enough to tell that the file is too large.
  const std::uint64_t room = limit_ - std::min(read_, limit_) + 1;
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), room));
  for (;;) {
    const ssize_t n = ::read(fd_, out.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowErrno("Cannot read " + Name(path_), errno);
    read_ += static_cast<std::uint64_t>(n);
    if (read_ > limit_) throw FileError("Cannot use " + Name(path_) + ": " + too_large_ + ".");
    return static_cast<std::size_t>(n);
  }
}

void InputFile::Rewind() {
  if (::lseek(fd_, 0, SEEK_SET) != 0) ThrowErrno("Cannot read " + Name(path_) + " again", errno);
  read_ = 0;
}

namespace system_file {

Identity Identify(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  if (S_ISDIR(st.st_mode)) return {Identity::kFolder};
  if (!S_ISREG(st.st_mode)) return {Identity::kOther};
  // Root may write anything, so a file without any write permission counts as protected too.
  const bool read_only = (st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0;
  return {Identity::kFile, static_cast<std::uint64_t>(st.st_dev),
          static_cast<std::uint64_t>(st.st_ino), read_only};
}

std::string NameProblem(const std::filesystem::path&) {
  return "";  // every byte but '/' and NUL may stand in a name
}

bool IsDeviceName(const std::filesystem::path&) {
  return false;
}

int CreateExclusive(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

long WriteSome(int fd, std::span<const std::uint8_t> bytes) {
  for (;;) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

bool Sync(int fd) {
  return ::fsync(fd) == 0;
}

bool Close(int fd) {
  return ::close(fd) == 0;
}

bool Truncate(int fd, std::uint64_t size) {
  return ::ftruncate(fd, static_cast<off_t>(size)) == 0;
}

bool Preallocate(int fd, std::uint64_t size) {
  return ::fallocate(fd, 0, 0, static_cast<off_t>(size)) == 0;
}

void Remove(const std::filesystem::path& path) noexcept {
  ::unlink(path.c_str());
}

std::uint64_t ProcessId() {
  return static_cast<std::uint64_t>(::getpid());
}

std::filesystem::path ReplacedFile(const std::filesystem::path& target) {
  struct stat st {};
  if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return target;
  // Replace what the link leads to, and keep the link.
  std::error_code ec;
  auto followed = std::filesystem::weakly_canonical(target, ec);
  if (ec) ThrowErrno("Cannot write " + Name(target), ec.value());
  return followed;
}

void KeepPermissions(int fd, const std::filesystem::path& replaced) {
  struct stat old {};
  if (::stat(replaced.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
}

bool Replace(const std::filesystem::path& temp, const std::filesystem::path& target, bool synced) {
  if (std::rename(temp.c_str(), target.c_str()) != 0) return false;
  if (!synced) return true;
  // The rename itself must reach the disk too, or a crash could bring the old name back.
  const auto folder = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace system_file

void RemoveTemporaryFilesOnSignals() {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action {};
    action.sa_handler = RemovePendingAndDie;
    sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
  }
}

}  // namespace pelkar
