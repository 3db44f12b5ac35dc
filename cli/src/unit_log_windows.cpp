#include <windows.h>

#include <cstdio>
#include <ctime>

#include "files/files.h"
#include "output.h"
#include "platform/utf16_windows.h"
#include "unit_log.h"

namespace pelkar::cli {
namespace {

std::string Why(const std::string& path, const char* step) {
  return "Cannot " + std::string(step) + " the log " + Printable(path) + " (error " +
         std::to_string(::GetLastError()) + ")";
}

HANDLE Handle(std::intptr_t native) {
  return reinterpret_cast<HANDLE>(native);
}

}  // namespace

UnitLog::UnitLog(const std::string& path, std::span<const std::filesystem::path> reads)
    : path_(path) {
  CheckLogPath(path, reads);
  const std::wstring wide = Utf8Path(path).wstring();
  // Shared for reading and writing: other pelkar1 processes append to the same file.
  const HANDLE h =
      ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw Failure{kBadInput, Why(path, "open") + "."};
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    ::CloseHandle(h);
    throw Failure{kBadInput, "The log " + Printable(path) + " is no regular file."};
  }
  native_ = reinterpret_cast<std::intptr_t>(h);
}

UnitLog::~UnitLog() {
  if (native_ != -1) ::CloseHandle(Handle(native_));
}

bool UnitLog::Append(std::string_view record) {
  const HANDLE h = Handle(native_);
  std::string line(record);
  line += '\n';  // the same file on every system
  // Every writer locks the same byte far past any data, so the lock never hinders reading.
  OVERLAPPED lock{};
  lock.Offset = 0xFFFFFFFE;
  lock.OffsetHigh = 0x7FFFFFFF;
  if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock)) {
    error_ = Why(path_, "lock");
    return false;
  }
  // Offsets of all ones write at the end of the file, whatever other writers did.
  OVERLAPPED at_end{};
  at_end.Offset = 0xFFFFFFFF;
  at_end.OffsetHigh = 0xFFFFFFFF;
  DWORD written = 0;
  bool ok = ::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, &at_end) &&
            written == line.size();
  if (!ok) error_ = Why(path_, "write");
  if (ok && !::FlushFileBuffers(h)) {
    error_ = Why(path_, "sync");
    ok = false;
  }
  ::UnlockFileEx(h, 0, 1, 0, &lock);
  return ok;
}

std::string HostName() {
  wchar_t name[256] = {};
  DWORD size = 255;
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return "";
  return Utf8(std::wstring_view(name, size));
}

}  // namespace pelkar::cli
