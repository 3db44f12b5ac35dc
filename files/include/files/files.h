// Reading inputs with a size limit and writing outputs so that nothing is ever lost: an
// output never replaces an input, a device node or a folder, and is written through an
// exclusively created temporary file that is renamed into place only when complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pelkar {

// A file that cannot be read or written; what() names the file and says why, for the user.
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The FileError of an output that names one of the inputs: a caller may tell it as misuse.
class OutputIsInputError : public FileError {
 public:
  using FileError::FileError;
};

// A file name as it may be shown in a message: control bytes escaped (\r, \x1B).
std::string Printable(std::string_view text);

// Paths cross from and to UTF-8 text the same way on every system (a plain std::string
// would go through the ANSI code page on Windows, which cannot name every file).
std::filesystem::path Utf8Path(std::string_view utf8);
std::string Utf8(const std::filesystem::path& path);

// A file opened for reading in pieces, refused when it grows past a limit while read.
class InputFile {
 public:
  // limit: the most bytes the caller takes; too_large: why a longer file is refused, as a
  // clause for the user ("it is larger than 64 MiB"). Throws FileError.
  InputFile(const std::filesystem::path& path, std::uint64_t limit, std::string_view too_large);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Reads the next piece into out; 0 at the end. Throws FileError on a read error or when
  // the file goes past the limit.
  std::size_t Read(std::span<char> out);
  // Starts again from the first byte.
  void Rewind();
  // The whole rest of the file.
  std::vector<std::uint8_t> ReadAll();
  // The whole file, mapped in place where the system can (no copy, no memory of its own),
  // else read into memory; valid while this object lives. Throws FileError like Read().
  std::span<const std::uint8_t> View();
  std::string ReadAllText();

  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
  std::uint64_t limit_;
  std::string too_large_;
  std::uint64_t read_ = 0;
  int fd_ = -1;
  void* map_ = nullptr;  // a mapping View() made
  std::size_t map_size_ = 0;
  std::vector<std::uint8_t> held_;  // what View() read where it could not map
};

// Reads a whole file of at most limit bytes. Throws FileError.
std::string ReadFileLimited(const std::filesystem::path& path, std::uint64_t limit,
                            std::string_view too_large);

// Throws FileError when output has a name the system cannot take as a file of its own (on
// Windows a device name, a forbidden character or a data stream part), exists and is no regular
// file or is protected against writing (read-only), or, as OutputIsInputError, names one of the
// inputs by identity (a symbolic or hard link, another spelling, a path through a linked folder).
void CheckOutput(const std::filesystem::path& output,
                 std::span<const std::filesystem::path> inputs = {});

enum class Durability {
  Synced,    // flushed to the disk before and after the rename: for images sent to devices
  Unsynced,  // renamed into place without waiting for the disk: output that can be made again
};

// A file written through an exclusively created temporary file in the target's folder, which
// Commit() renames over the target: the target holds either its old content or all of the
// new one. A target that is a symbolic link keeps its link; the file it leads to is replaced.
// A file not committed, or one whose process is ended by a signal that
// RemoveTemporaryFilesOnSignals() covers, is removed. Throws FileError naming the file.
class AtomicFile {
 public:
  explicit AtomicFile(std::filesystem::path path,
                      std::span<const std::filesystem::path> inputs = {},
                      Durability durability = Durability::Synced);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  // Sets room aside for about this many bytes: the file system can then place the content at
  // once instead of when the rename forces it. What is not written is given back at Commit().
  void Reserve(std::uint64_t bytes);
  void Write(std::span<const std::uint8_t> bytes);
  void Write(std::string_view text);
  void Commit();

  // The temporary file's name while it exists (for tests).
  const std::filesystem::path& temporary() const noexcept { return temp_; }

 private:
  [[noreturn]] void Fail(const std::string& what);
  void Discard() noexcept;

  std::filesystem::path path_;   // the file that gets replaced (a link's target)
  std::filesystem::path shown_;  // the name the caller gave, for messages
  std::filesystem::path temp_;
  Durability durability_;
  int fd_ = -1;
  bool temp_exists_ = false;
  std::uint64_t written_ = 0;
  std::uint64_t reserved_ = 0;
  int slot_ = -1;  // where a signal handler finds the temporary file's name
};

// Writes bytes to path as one AtomicFile.
void WriteFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                         std::span<const std::filesystem::path> inputs = {},
                         Durability durability = Durability::Synced);

// Makes the signals that end a process (interrupt, terminate, hang-up) first remove the
// temporary file of an AtomicFile in progress, then end the process as they would have.
void RemoveTemporaryFilesOnSignals();

}  // namespace pelkar
