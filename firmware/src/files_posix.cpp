#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <random>

#include "firmware/files.h"

namespace pelkar {
namespace {

std::string Name(const std::filesystem::path& path) {
  return Printable(Utf8(path));
}

[[noreturn]] void ThrowErrno(const std::string& what, int error) {
  throw FileError(what + ": " + std::strerror(error) + ".");
}

// Temporary files in progress, removed by a signal that ends the process. A fixed table of
// plain characters, so that the handler touches nothing but memory and unlink().
constexpr int kSlots = 4;
char pending[kSlots][4096];
std::atomic<bool> pending_set[kSlots];

int Remember(const std::filesystem::path& temp) {
  const std::string& s = temp.native();
  if (s.size() >= sizeof pending[0]) return -1;
  for (int i = 0; i < kSlots; ++i) {
    if (pending_set[i].load()) continue;
    std::memcpy(pending[i], s.c_str(), s.size() + 1);
    pending_set[i].store(true);
    return i;
  }
  return -1;
}

void Forget(int slot) {
  if (slot >= 0) pending_set[slot].store(false);
}

void RemovePendingAndDie(int sig) {
  for (int i = 0; i < kSlots; ++i) {
    if (pending_set[i].load()) ::unlink(pending[i]);
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

InputFile::InputFile(const std::filesystem::path& path, std::uint64_t limit,
                     std::string_view too_large)
    : path_(path), limit_(limit), too_large_(too_large) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) ThrowErrno("Cannot read " + Name(path), errno);
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw FileError("Cannot read " + Name(path) + ": it is a folder, not a file.");
  }
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

void CheckOutput(const std::filesystem::path& output,
                 std::span<const std::filesystem::path> inputs) {
  struct stat out {};
  if (::stat(output.c_str(), &out) != 0) return;  // nothing there yet (or a dangling link)
  if (S_ISDIR(out.st_mode)) {
    throw FileError("Cannot write " + Name(output) + ": it is a folder; name a file.");
  }
  if (!S_ISREG(out.st_mode)) {
    throw FileError("Cannot write " + Name(output) +
                    ": it is a device, FIFO or socket, not a regular file; name a file.");
  }
  for (const auto& input : inputs) {
    struct stat in {};
    if (::stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
      throw FileError("Cannot write " + Name(output) + ": it is the input file " + Name(input) +
                      " itself; name another output.");
    }
  }
}

AtomicFile::AtomicFile(std::filesystem::path path, std::span<const std::filesystem::path> inputs,
                       Durability durability)
    : path_(path), shown_(std::move(path)), durability_(durability) {
  CheckOutput(shown_, inputs);
  struct stat st {};
  if (::lstat(shown_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // Replace what the link leads to, and keep the link.
    std::error_code ec;
    path_ = std::filesystem::weakly_canonical(shown_, ec);
    if (ec) ThrowErrno("Cannot write " + Name(shown_), ec.value());
  }
  // A fixed, short name: a target near the length limit of a name still gets a temporary
  // file, and O_EXCL never follows a link planted at the name.
  const auto folder = path_.has_parent_path() ? path_.parent_path() : std::filesystem::path(".");
  std::random_device seed;
  std::mt19937_64 random(
      seed() ^ static_cast<std::uint64_t>(::getpid()) ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, ".pelkar1-%012llx.part",
                  static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    temp_ = folder / name;
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST) ThrowErrno("Cannot write " + Name(shown_), errno);
  }
  if (fd_ < 0) ThrowErrno("Cannot write " + Name(shown_), EEXIST);
  temp_exists_ = true;
  slot_ = Remember(temp_);
  // A replaced file keeps its permissions.
  struct stat old {};
  if (::stat(path_.c_str(), &old) == 0) ::fchmod(fd_, old.st_mode & 07777);
}

AtomicFile::~AtomicFile() {
  Discard();
}

void AtomicFile::Discard() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (temp_exists_) ::unlink(temp_.c_str());
  temp_exists_ = false;
  Forget(slot_);
  slot_ = -1;
}

void AtomicFile::Fail(const std::string& what) {
  const int saved = errno;
  Discard();
  ThrowErrno(what, saved);
}

void AtomicFile::Reserve(std::uint64_t bytes) {
  if (fd_ >= 0 && ::fallocate(fd_, 0, 0, static_cast<off_t>(bytes)) == 0) reserved_ = bytes;
}

void AtomicFile::Write(std::string_view text) {
  Write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void AtomicFile::Write(std::span<const std::uint8_t> bytes) {
  if (fd_ < 0) throw FileError("Cannot write " + Name(shown_) + ": the file is closed.");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("Cannot write " + Name(shown_));
    }
    done += static_cast<std::size_t>(n);
  }
  written_ += bytes.size();
}

void AtomicFile::Commit() {
  if (fd_ < 0) throw FileError("Cannot write " + Name(shown_) + ": the file is closed.");
  if (reserved_ > written_ && ::ftruncate(fd_, static_cast<off_t>(written_)) != 0) {
    Fail("Cannot write " + Name(shown_));
  }
  if (durability_ == Durability::Synced && ::fsync(fd_) != 0) Fail("Cannot write " + Name(shown_));
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) Fail("Cannot write " + Name(shown_));
  // The target may have become a device or a folder meanwhile; rename would replace it.
  try {
    CheckOutput(path_);
  } catch (const FileError&) {
    Discard();
    throw;
  }
  if (std::rename(temp_.c_str(), path_.c_str()) != 0) Fail("Cannot replace " + Name(shown_));
  temp_exists_ = false;
  Forget(slot_);
  slot_ = -1;
  if (durability_ == Durability::Unsynced) return;
  // The rename itself must reach the disk too, or a crash could bring the old name back.
  const auto folder = path_.has_parent_path() ? path_.parent_path() : std::filesystem::path(".");
  if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

void RemoveTemporaryFilesOnSignals() {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action {};
    action.sa_handler = RemovePendingAndDie;
    sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
  }
}

}  // namespace pelkar
