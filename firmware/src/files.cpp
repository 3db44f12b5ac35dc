#include <algorithm>
#include <cstdio>

#include "firmware/files.h"

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

void WriteFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                         std::span<const std::filesystem::path> inputs, Durability durability) {
  AtomicFile file(path, inputs, durability);
  file.Reserve(bytes.size());
  file.Write(bytes);
  file.Commit();
}

}  // namespace pelkar
