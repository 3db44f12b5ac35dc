// What each system's file calls give the portable part of the file handling. Calls that
// report failure leave the reason in errno.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace pelkar::system_file {

// A name as messages show it.
std::string Name(const std::filesystem::path& path);
[[noreturn]] void ThrowErrno(const std::string& what, int error);

// What a name leads to: a regular file (with its identity), a folder, something else (a
// device, a pipe, a socket), or nothing.
struct Identity {
  enum Kind { kNone, kFile, kFolder, kOther } kind = kNone;
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool read_only = false;  // a file marked as not to be written: no write permission at all
};
Identity Identify(const std::filesystem::path& path);

// Why the system cannot take path as the name of a file of its own, as a clause ("NUL is a
// device name"); "" when it can. Windows reserves device names in every folder and forbids some
// characters, and a ':' would name a data stream inside a file.
std::string NameProblem(const std::filesystem::path& path);
// True when the system opens path as a device by its name alone (Windows' CON, COM1, NUL.txt),
// whatever the folder holds.
bool IsDeviceName(const std::filesystem::path& path);

// Creates a new file for writing, never following a link planted at its name; -1 when it
// cannot (errno EEXIST when the name is taken).
int CreateExclusive(const std::filesystem::path& path);
// Writes a first part of bytes; how many, or -1.
long WriteSome(int fd, std::span<const std::uint8_t> bytes);
bool Sync(int fd);
bool Close(int fd);
bool Truncate(int fd, std::uint64_t size);
// Sets room aside for size bytes where the system can; false where it did not.
bool Preallocate(int fd, std::uint64_t size);
void Remove(const std::filesystem::path& path) noexcept;
std::uint64_t ProcessId();

// The file that writing to target replaces: what a symbolic link leads to, else target.
std::filesystem::path ReplacedFile(const std::filesystem::path& target);
// Gives a new file the permissions of the file it is to replace, if there is one.
void KeepPermissions(int fd, const std::filesystem::path& replaced);
// Renames temp over target, which keeps the marks the system keeps apart from permissions
// (Windows' hidden and system attributes); with synced, the rename reaches the disk before it
// returns.
bool Replace(const std::filesystem::path& temp, const std::filesystem::path& target, bool synced);

// Temporary files in progress, which a signal or console event removes when it ends the
// process: a fixed table of plain characters, so that the handler touches nothing but memory
// and the call that removes a file.
constexpr int kPendingSlots = 4;
constexpr std::size_t kPendingLength = 4096;
extern std::filesystem::path::value_type pending[kPendingSlots][kPendingLength];
extern std::atomic<bool> pending_set[kPendingSlots];
// A slot for temp, or -1 when the table is full or the name too long.
int Remember(const std::filesystem::path& temp);
void Forget(int slot) noexcept;

}  // namespace pelkar::system_file
