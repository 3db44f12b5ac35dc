#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cwchar>

#include "files_system.h"
#include "firmware/files.h"

namespace pelkar {

using system_file::Name;
using system_file::ThrowErrno;

namespace {

BOOL WINAPI RemovePending(DWORD) {
  for (int i = 0; i < system_file::kPendingSlots; ++i) {
    if (system_file::pending_set[i].load()) ::DeleteFileW(system_file::pending[i]);
  }
  return FALSE;  // the next handler (the default one) ends the process
}

}  // namespace

InputFile::InputFile(const std::filesystem::path& path, std::uint64_t limit,
                     std::string_view too_large)
    : path_(path), limit_(limit), too_large_(too_large) {
  if (system_file::Identify(path).kind == system_file::Identity::kFolder) {
    throw FileError("Cannot read " + Name(path) + ": it is a folder, not a file.");
  }
  fd_ = ::_wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd_ < 0) ThrowErrno("Cannot read " + Name(path), errno);
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::_close(fd_);
}

std::span<const std::uint8_t> InputFile::View() {
  Rewind();
  held_ = ReadAll();
  return held_;
}

std::size_t InputFile::Read(std::span<char> out) {
  const std::uint64_t room = limit_ - std::min(read_, limit_) + 1;
  const auto want =
      static_cast<unsigned>(std::min<std::uint64_t>({out.size(), room, std::uint64_t{1} << 30}));
  const int n = ::_read(fd_, out.data(), want);
  if (n < 0) ThrowErrno("Cannot read " + Name(path_), errno);
  read_ += static_cast<std::uint64_t>(n);
  if (read_ > limit_) throw FileError("Cannot use " + Name(path_) + ": " + too_large_ + ".");
  return static_cast<std::size_t>(n);
}

void InputFile::Rewind() {
  if (::_lseeki64(fd_, 0, SEEK_SET) != 0) {
    ThrowErrno("Cannot read " + Name(path_) + " again", errno);
  }
  read_ = 0;
}

namespace system_file {

Identity Identify(const std::filesystem::path& path) {
  const HANDLE h =
      ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  Identity id{Identity::kOther};  // a device (NUL, CON, COM1), a pipe
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info)) {
    id.kind =
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? Identity::kFolder : Identity::kFile;
    id.volume = info.dwVolumeSerialNumber;
    id.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  }
  ::CloseHandle(h);
  return id;
}

int CreateExclusive(const std::filesystem::path& path) {
  // A new name only: a link planted there makes the create fail, it is never followed.
  return ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
}

long WriteSome(int fd, std::span<const std::uint8_t> bytes) {
  const auto piece = static_cast<unsigned>(std::min<std::size_t>(bytes.size(), 1u << 30));
  return ::_write(fd, bytes.data(), piece);
}

bool Sync(int fd) {
  return ::_commit(fd) == 0;
}

bool Close(int fd) {
  return ::_close(fd) == 0;
}

bool Truncate(int fd, std::uint64_t size) {
  return ::_chsize_s(fd, static_cast<__int64>(size)) == 0;
}

bool Preallocate(int, std::uint64_t) {
  return false;  // NTFS places data when it is written
}

void Remove(const std::filesystem::path& path) noexcept {
  ::DeleteFileW(path.c_str());
}

std::uint64_t ProcessId() {
  return ::GetCurrentProcessId();
}

std::filesystem::path ReplacedFile(const std::filesystem::path& target) {
  return target;
}

void KeepPermissions(int, const std::filesystem::path&) {}

bool Replace(const std::filesystem::path& temp, const std::filesystem::path& target, bool synced) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | (synced ? MOVEFILE_WRITE_THROUGH : 0);
  if (::MoveFileExW(temp.c_str(), target.c_str(), flags)) return true;
  const DWORD error = ::GetLastError();
  errno = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? EACCES : EIO;
  return false;
}

}  // namespace system_file

void RemoveTemporaryFilesOnSignals() {
  ::SetConsoleCtrlHandler(RemovePending, TRUE);
}

}  // namespace pelkar
