#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "files_system.h"
#include "files/files.h"

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

FileError NoFile(const std::filesystem::path& path) {
  return FileError("Cannot read " + Name(path) +
                   ": it is a device or a pipe, not a regular file; name a file.");
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 (also with a superscript digit), CONIN$ and CONOUT$
// name devices in every folder, with any extension and blanks before it: "nul .txt" too.
bool IsDeviceWord(std::wstring name) {
  name = name.substr(0, name.find(L'.'));
  while (!name.empty() && name.back() == L' ')
    name.pop_back();
  for (wchar_t& c : name)
    c = static_cast<wchar_t>(std::towupper(c));
  for (const wchar_t* word : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
    if (name == word) return true;
  }
  const bool digit =
      name.size() == 4 && ((name[3] >= L'1' && name[3] <= L'9') || name[3] == L'\u00B9' ||
                           name[3] == L'\u00B2' || name[3] == L'\u00B3');
  return digit && (name.starts_with(L"COM") || name.starts_with(L"LPT"));
}

}  // namespace

InputFile::InputFile(const std::filesystem::path& path, std::uint64_t limit,
                     std::string_view too_large)
    : path_(path), limit_(limit), too_large_(too_large) {
  // A device (CON, COM1, a port's \\.\ name) or a pipe could block every read for good, past
  // Ctrl-C: only a file on a disk is read, and a device name is not even opened.
  const auto kind = system_file::IsDeviceName(path) ? system_file::Identity::kOther
                                                    : system_file::Identify(path).kind;
  if (kind == system_file::Identity::kFolder) {
    throw FileError("Cannot read " + Name(path) + ": it is a folder, not a file.");
  }
  if (kind == system_file::Identity::kOther) throw NoFile(path);
  fd_ = ::_wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd_ < 0) ThrowErrno("Cannot read " + Name(path), errno);
  if (::GetFileType(reinterpret_cast<HANDLE>(::_get_osfhandle(fd_))) != FILE_TYPE_DISK) {
    ::_close(fd_);
    fd_ = -1;
    throw NoFile(path);
  }
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

std::string NameProblem(const std::filesystem::path& path) {
  bool first = true;
  for (const auto& part : path.relative_path()) {
    const std::wstring& name = part.native();
    // A drive after a \\?\ prefix ("C:") is no stream.
    const bool drive = first && name.size() == 2 && name[1] == L':';
    first = false;
    if (drive || name == L"." || name == L"..") continue;
    for (const wchar_t c : name) {
      if (c < 0x20) return "its name holds a control character, which Windows does not allow";
      if (c == L':') {
        return "the ':' in its name would name a data stream hidden inside a file, not a file";
      }
      if (std::wcschr(L"<>\"|?*", c) != nullptr) {
        return std::string("its name holds '") + static_cast<char>(c) +
               "', which Windows does not allow in a file name";
      }
    }
    if (IsDeviceWord(name)) return Name(part) + " is a device name on Windows, not a file name";
  }
  return "";
}

bool IsDeviceName(const std::filesystem::path& path) {
  return IsDeviceWord(path.filename().native());
}

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
    id.read_only = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
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
  const DWORD old = ::GetFileAttributesW(target.c_str());
  if (::MoveFileExW(temp.c_str(), target.c_str(), flags)) {
    // The new content stays marked as the old file was (hidden, system, not indexed); the
    // archive mark is the new file's own, since it changed.
    constexpr DWORD kKept =
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD now = ::GetFileAttributesW(target.c_str());
    if (old != INVALID_FILE_ATTRIBUTES && now != INVALID_FILE_ATTRIBUTES && (old & kKept) != 0) {
      ::SetFileAttributesW(target.c_str(), (now & ~FILE_ATTRIBUTE_NORMAL) | (old & kKept));
    }
    return true;
  }
  const DWORD error = ::GetLastError();
  errno = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? EACCES : EIO;
  return false;
}

}  // namespace system_file

void RemoveTemporaryFilesOnSignals() {
  ::SetConsoleCtrlHandler(RemovePending, TRUE);
}

}  // namespace pelkar
