#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "files_system.h"
#include "files/files.h"

namespace pelkar {

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b == '\r') {
      out += "\\r";
    } else if (b == '\n') {
      out += "\\n";
    } else if (b == '\t') {
      out += "\\t";
    } else if (b < 0x20 || b == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    } else {
      out += c;  // bytes of UTF-8 pass as they are
    }
  }
  return out;
}

std::filesystem::path Utf8Path(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

namespace system_file {

std::string Name(const std::filesystem::path& path) {
  return Printable(Utf8(path));
}

void ThrowErrno(const std::string& what, int error) {
  throw FileError(what + ": " + std::strerror(error) + ".");
}

std::filesystem::path::value_type pending[kPendingSlots][kPendingLength];
std::atomic<bool> pending_set[kPendingSlots];

int Remember(const std::filesystem::path& temp) {
  const auto& s = temp.native();
  if (s.size() >= kPendingLength) return -1;
  for (int i = 0; i < kPendingSlots; ++i) {
    if (pending_set[i].load()) continue;
    std::copy(s.c_str(), s.c_str() + s.size() + 1, pending[i]);
    pending_set[i].store(true);
    return i;
  }
  return -1;
}

void Forget(int slot) noexcept {
  if (slot >= 0) pending_set[slot].store(false);
}

}  // namespace system_file

using system_file::Name;
using system_file::ThrowErrno;

namespace {

// Reads the rest of a file into a byte container, growing it without knowing the size.
template <class Bytes>
Bytes ReadRest(InputFile& file) {
  Bytes bytes;
  std::size_t got = 0;
  for (;;) {
    if (bytes.size() - got < 65536) bytes.resize(std::max<std::size_t>(bytes.size() * 2, 1 << 20));
    const std::size_t n =
        file.Read(std::span(reinterpret_cast<char*>(bytes.data()) + got, bytes.size() - got));
    if (n == 0) break;
    got += n;
  }
  bytes.resize(got);
  return bytes;
}

}  // namespace

std::vector<std::uint8_t> InputFile::ReadAll() {
  return ReadRest<std::vector<std::uint8_t>>(*this);
}

std::string InputFile::ReadAllText() {
  return ReadRest<std::string>(*this);
}

std::string ReadFileLimited(const std::filesystem::path& path, std::uint64_t limit,
                            std::string_view too_large) {
  return InputFile(path, limit, too_large).ReadAllText();
}

void CheckOutput(const std::filesystem::path& output,
                 std::span<const std::filesystem::path> inputs) {
  using system_file::Identity;
  if (const std::string problem = system_file::NameProblem(output); !problem.empty()) {
    throw FileError("Cannot write " + Name(output) + ": " + problem + "; name another file.");
  }
  const Identity out = system_file::Identify(output);
  if (out.kind == Identity::kNone) return;  // nothing there yet (or a dangling link)
  if (out.kind == Identity::kFolder) {
    throw FileError("Cannot write " + Name(output) + ": it is a folder; name a file.");
  }
  if (out.kind == Identity::kOther) {
    throw FileError("Cannot write " + Name(output) +
                    ": it is a device, pipe or socket, not a regular file; name a file.");
  }
  for (const auto& input : inputs) {
    const Identity in = system_file::Identify(input);
    if (in.kind == Identity::kFile && in.volume == out.volume && in.index == out.index) {
      throw OutputIsInputError("Cannot write " + Name(output) + ": it is the input file " +
                               Name(input) + " itself; name another output.");
    }
  }
  // A rename would replace a protected file as if it were not; its owner meant it to stay.
  if (out.read_only) {
    throw FileError("Cannot write " + Name(output) +
                    ": it is protected (read-only); name another file, or make it writable "
                    "first.");
  }
}

AtomicFile::AtomicFile(std::filesystem::path path, std::span<const std::filesystem::path> inputs,
                       Durability durability)
    : path_(path), shown_(std::move(path)), durability_(durability) {
  CheckOutput(shown_, inputs);
  path_ = system_file::ReplacedFile(shown_);
  // A fixed, short name: a target near the length limit of a name still gets a temporary
  // file, and an exclusive create never follows a link planted at the name.
  const auto folder = path_.has_parent_path() ? path_.parent_path() : std::filesystem::path(".");
  std::random_device seed;
  std::mt19937_64 random(
      seed() ^ system_file::ProcessId() ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, ".pelkar1-%012llx.part",
                  static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    temp_ = folder / name;
    fd_ = system_file::CreateExclusive(temp_);
    if (fd_ < 0 && errno != EEXIST) ThrowErrno("Cannot write " + Name(shown_), errno);
  }
  if (fd_ < 0) ThrowErrno("Cannot write " + Name(shown_), EEXIST);
  temp_exists_ = true;
  slot_ = system_file::Remember(temp_);
  system_file::KeepPermissions(fd_, path_);
}

AtomicFile::~AtomicFile() {
  Discard();
}

void AtomicFile::Discard() noexcept {
  if (fd_ >= 0) system_file::Close(fd_);
  fd_ = -1;
  if (temp_exists_) system_file::Remove(temp_);
  temp_exists_ = false;
  system_file::Forget(slot_);
  slot_ = -1;
}

void AtomicFile::Fail(const std::string& what) {
  const int saved = errno;
  Discard();
  ThrowErrno(what, saved);
}

void AtomicFile::Reserve(std::uint64_t bytes) {
  if (fd_ >= 0 && system_file::Preallocate(fd_, bytes)) reserved_ = bytes;
}

void AtomicFile::Write(std::string_view text) {
  Write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void AtomicFile::Write(std::span<const std::uint8_t> bytes) {
  if (fd_ < 0) throw FileError("Cannot write " + Name(shown_) + ": the file is closed.");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const long n = system_file::WriteSome(fd_, bytes.subspan(done));
    if (n < 0) Fail("Cannot write " + Name(shown_));
    done += static_cast<std::size_t>(n);
  }
  written_ += bytes.size();
}

void AtomicFile::Commit() {
  if (fd_ < 0) throw FileError("Cannot write " + Name(shown_) + ": the file is closed.");
  if (reserved_ > written_ && !system_file::Truncate(fd_, written_)) {
    Fail("Cannot write " + Name(shown_));
  }
  const bool synced = durability_ == Durability::Synced;
  if (synced && !system_file::Sync(fd_)) Fail("Cannot write " + Name(shown_));
  const int fd = fd_;
  fd_ = -1;
  if (!system_file::Close(fd)) Fail("Cannot write " + Name(shown_));
  // The target may have become a device or a folder meanwhile; the rename would replace it.
  try {
    CheckOutput(path_);
  } catch (const FileError&) {
    Discard();
    throw;
  }
  if (!system_file::Replace(temp_, path_, synced)) Fail("Cannot replace " + Name(shown_));
  temp_exists_ = false;
  system_file::Forget(slot_);
  slot_ = -1;
}

void WriteFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                         std::span<const std::filesystem::path> inputs, Durability durability) {
  AtomicFile file(path, inputs, durability);
  file.Reserve(bytes.size());
  file.Write(bytes);
  file.Commit();
}

}  // namespace pelkar
