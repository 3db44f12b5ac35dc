#include "hex/intel_hex.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace pelkar {
namespace {

constexpr std::uint8_t kData = 0x00;
constexpr std::uint8_t kEndOfFile = 0x01;
constexpr std::uint8_t kExtendedSegment = 0x02;
constexpr std::uint8_t kExtendedLinear = 0x04;
constexpr std::size_t kMaxRecord = 16;  // bytes a written data record holds at most
constexpr std::size_t kLineChars = 45;  // a full 16-byte data line with CR LF
constexpr std::size_t kGap = 6;         // 0xFF bytes that split a record
constexpr char kEndOfFileLine[] = ":00000001FF\r\n";
constexpr char kCtrlZ = '\x1A';  // DOS end-of-text mark

// Value of a hex digit, or 0xFF for any other character.
constexpr std::array<std::uint8_t, 256> MakeDigitTable() {
  std::array<std::uint8_t, 256> t{};
  t.fill(0xFF);
  for (int c = 0; c < 10; ++c)
    t[static_cast<std::size_t>('0' + c)] = static_cast<std::uint8_t>(c);
  for (int c = 0; c < 6; ++c) {
    t[static_cast<std::size_t>('A' + c)] = static_cast<std::uint8_t>(10 + c);
    t[static_cast<std::size_t>('a' + c)] = static_cast<std::uint8_t>(10 + c);
  }
  return t;
}
constexpr std::array<std::uint8_t, 256> kDigit = MakeDigitTable();

inline std::uint8_t DigitOf(char c) {
  return kDigit[static_cast<unsigned char>(c)];
}

// Two hex digits that are known to be valid.
inline std::uint8_t ByteAt(std::string_view s, std::size_t i) {
  return static_cast<std::uint8_t>((DigitOf(s[i]) << 4) | DigitOf(s[i + 1]));
}

// A character of the text as a message shows it: control and non-ASCII bytes escaped, so a
// message never carries a raw CR or ESC to the terminal.
std::string Shown(char c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto u = static_cast<unsigned char>(c);
  switch (c) {
    case '\r':
      return "\\r";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    case '\\':
      return "\\\\";
    default:
      if (u < 0x20 || u >= 0x7F) return std::string{'\\', 'x', kHex[u >> 4], kHex[u & 0xF]};
      return std::string(1, c);
  }
}

std::string Hex2(unsigned value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return std::string{'0', 'x', kHex[(value >> 4) & 0xF], kHex[value & 0xF]};
}

// Calls on_line(line, number) for every line that is not blank, numbering from `number`.
// Lines end with LF, CR LF or CR alone; the last one needs no line end; trailing blanks and
// tabs are not part of a line. Returns the number of the line after the text.
template <typename OnLine>
std::size_t ForEachLine(std::string_view text, std::size_t number, OnLine&& on_line) {
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (next < text.size() && text[end] == '\r' && text[next] == '\n') ++next;
    text.remove_prefix(next);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) {
      line.remove_suffix(1);
    }
    if (!line.empty()) on_line(line, number);
    ++number;
  }
  return number;
}

// The same for a text read in pieces: each call of on_piece gets whole lines only.
constexpr std::size_t kPiece = 1 << 20;

template <typename OnLine>
void ForEachLineRead(const HexSource& read, OnLine&& on_line) {
  std::vector<char> buffer(kPiece);
  std::size_t kept = 0;  // the start of a line whose end has not come yet
  std::size_t number = 1;
  for (;;) {
    const std::size_t got = read(std::span(buffer).subspan(kept));
    const std::string_view text(buffer.data(), kept + got);
    if (got == 0) {
      ForEachLine(text, number, on_line);
      return;
    }
    // A CR that ends the piece may be the first half of a CR LF: it waits for the next piece.
    const std::string_view settled = text.back() == '\r' ? text.substr(0, text.size() - 1) : text;
    const std::size_t last_end = settled.find_last_of("\r\n");
    if (last_end == std::string_view::npos) {
      if (text.size() == buffer.size()) {
        throw HexError(number, "the line is longer than " + std::to_string(kPiece) + " characters");
      }
      kept = text.size();
      continue;
    }
    number = ForEachLine(text.substr(0, last_end + 1), number, on_line);
    kept = text.size() - last_end - 1;
    std::memmove(buffer.data(), buffer.data() + last_end + 1, kept);
  }
}

}  // namespace

HexError::HexError(std::size_t line, const std::string& reason)
    : std::runtime_error(line == 0 ? reason : "line " + std::to_string(line) + ": " + reason),
      line_(line),
      reason_(reason) {}

IntelHex::Record IntelHex::Line2Record(std::string_view line, std::size_t line_number) {
  if (line.front() != ':') {
    throw HexError(line_number, "a record must start with ':'");
  }
  const std::string_view hex = line.substr(1);
  for (std::size_t i = 0; i < hex.size(); ++i) {
    if (DigitOf(hex[i]) == 0xFF) {
      throw HexError(line_number, "'" + Shown(hex[i]) + "' at column " + std::to_string(i + 2) +
                                      " is not a hex digit");
    }
  }
  if (hex.size() % 2 != 0) {
    throw HexError(line_number, "odd number of hex digits");
  }
  if (hex.size() < 10) {
    throw HexError(line_number, "too short for a record (" + std::to_string(line.size()) +
                                    " characters, at least 11 needed)");
  }
  Record r;
  r.count = ByteAt(hex, 0);
  const std::size_t expected_chars = 11 + 2 * std::size_t{r.count};
  if (line.size() != expected_chars) {
    throw HexError(line_number, "byte count " + Hex2(r.count) + " needs " +
                                    std::to_string(expected_chars) + " characters, the line has " +
                                    std::to_string(line.size()));
  }
  unsigned sum = 0;
  for (std::size_t i = 0; i + 2 < hex.size(); i += 2)
    sum += ByteAt(hex, i);
  const unsigned found = ByteAt(hex, hex.size() - 2);
  const unsigned expected = (256 - (sum & 0xFF)) & 0xFF;
  if (found != expected) {
    throw HexError(line_number,
                   "checksum " + Hex2(expected) + " expected, " + Hex2(found) + " found");
  }
  const unsigned field = (unsigned{ByteAt(hex, 2)} << 8) | ByteAt(hex, 4);
  r.type = ByteAt(hex, 6);
  r.digits = hex.substr(8, 2 * std::size_t{r.count});
  switch (r.type) {
    case kData:
      r.address = UpperAddress + field;
      break;
    case kExtendedSegment:
    case kExtendedLinear: {
      if (r.count != 2) {
        throw HexError(line_number, "an extended address record holds 2 bytes, this one " +
                                        std::to_string(r.count));
      }
      const std::int64_t value = (std::int64_t{ByteAt(r.digits, 0)} << 8) | ByteAt(r.digits, 2);
      UpperAddress = r.type == kExtendedLinear ? value << 16 : value << 4;
      break;
    }
    default:
      break;  // end of file, start addresses and unknown types store nothing
  }
  return r;
}

std::optional<IntelHex::Record> IntelHex::NextRecord(std::string_view line, std::size_t line_number,
                                                     TextState& state) {
  if (state.after_ctrl_z) {
    if (line.find_first_not_of(kCtrlZ) == std::string_view::npos) return std::nullopt;
    throw *state.after_ctrl_z;
  }
  const std::size_t z = line.find(kCtrlZ);
  if (z != std::string_view::npos && line.find_first_not_of(kCtrlZ, z) == std::string_view::npos) {
    std::string_view head = line.substr(0, z);
    while (!head.empty() && (head.back() == ' ' || head.back() == '\t'))
      head.remove_suffix(1);
    bool ends = state.after_end_of_file;
    if (!head.empty()) {
      try {
        ends = Line2Record(head, line_number).type == kEndOfFile;
      } catch (const HexError&) {
        ends = false;
      }
    }
    if (ends) {
      // Only more Ctrl-Z may follow; anything else is refused as this line would have been.
      try {
        Line2Record(line, line_number);
      } catch (const HexError& e) {
        state.after_ctrl_z = e;
      }
      return std::nullopt;
    }
  }
  const Record r = Line2Record(line, line_number);
  state.after_end_of_file = r.type == kEndOfFile;
  return r;
}

std::vector<std::uint8_t> IntelHex::Hex2Bin(std::string_view text) {
  return ReadImage([text](const LineVisitor& visit) { ForEachLine(text, 1, visit); });
}

std::vector<std::uint8_t> IntelHex::Hex2Bin(const HexSource& read) {
  return ReadImage([&read](const LineVisitor& visit) { ForEachLineRead(read, visit); });
}

std::vector<std::uint8_t> IntelHex::ReadImage(const LineDriver& lines) {
  if (end_ <= begin_) {
    throw HexError(0, "the address window is empty (end " + std::to_string(end_) +
                          " is not above begin " + std::to_string(begin_) + ")");
  }
  UpperAddress = 0;
  std::size_t stored = 0;
  std::vector<std::uint8_t> image(static_cast<std::size_t>(std::int64_t{end_} - begin_), 0xFF);
  TextState state;
  lines([&](std::string_view line, std::size_t number) {
    const std::optional<Record> record = NextRecord(line, number, state);
    if (!record || record->type != kData) return;
    const Record& r = *record;
    // Keep the bytes inside the window, whatever the record's length.
    const std::int64_t first = std::max<std::int64_t>(r.address, begin_);
    const std::int64_t last = std::min<std::int64_t>(r.address + r.count, end_);
    for (std::int64_t a = first; a < last; ++a) {
      image[static_cast<std::size_t>(a - begin_)] =
          ByteAt(r.digits, static_cast<std::size_t>(2 * (a - r.address)));
    }
    if (last > first) stored += static_cast<std::size_t>(last - first);
  });
  stored_ = stored;
  return image;
}

std::optional<HexDataRange> IntelHex::DataRange(std::string_view text) {
  return ReadRange([text](const LineVisitor& visit) { ForEachLine(text, 1, visit); });
}

std::optional<HexDataRange> IntelHex::DataRange(const HexSource& read) {
  return ReadRange([&read](const LineVisitor& visit) { ForEachLineRead(read, visit); });
}

std::optional<HexDataRange> IntelHex::ReadRange(const LineDriver& lines) {
  IntelHex reader;
  std::optional<HexDataRange> range;
  TextState state;
  lines([&](std::string_view line, std::size_t number) {
    const std::optional<Record> record = reader.NextRecord(line, number, state);
    if (!record || record->type != kData || record->count == 0) return;
    const Record& r = *record;
    const std::int64_t last = r.address + r.count - 1;
    if (!range) {
      range = HexDataRange{r.address, last};
    } else {
      range->lowest = std::min(range->lowest, r.address);
      range->highest = std::max(range->highest, last);
    }
  });
  return range;
}

char* IntelHex::Num2Hex(std::int32_t value, std::uint8_t digits, char* out) noexcept {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // The two's complement form, cut to its last `digits` digits and filled with zeros.
  const auto bits = static_cast<std::uint32_t>(value);
  for (int i = digits - 1; i >= 0; --i) {
    *out++ = i < 8 ? kHex[(bits >> (4 * i)) & 0xF] : '0';
  }
  return out;
}

std::string IntelHex::Bin2Hex(std::span<const std::uint8_t> image) const {
  std::string text;
  text.reserve(image.size() / kMaxRecord * kLineChars + sizeof(kEndOfFileLine) - 1);
  Bin2Hex(image, [&text](std::string_view piece) { text.append(piece); });
  return text;
}

void IntelHex::Bin2Hex(std::span<const std::uint8_t> image, const HexSink& sink) const {
  // Records are written at the next free position of one buffer, handed on when nearly full.
  constexpr std::size_t kLongestLine = 13 + 2 * 255;
  std::vector<char> buffer(64 * 1024);
  std::size_t used = 0;
  auto line_space = [&](std::size_t chars) -> char* {
    if (used + chars > buffer.size()) {
      sink(std::string_view(buffer.data(), used));
      used = 0;
    }
    return buffer.data() + used;
  };
  static_assert(kLongestLine < 64 * 1024);
  std::int64_t upper = 0;
  auto write_upper = [&](std::int64_t v) {
    char* p = line_space(17);
    std::memcpy(p, ":02000004", 9);
    p = Num2Hex(static_cast<std::int32_t>(v), 4, p + 9);
    const unsigned sum =
        2 + 4 + static_cast<unsigned>((v >> 8) & 0xFF) + static_cast<unsigned>(v & 0xFF);
    p = Num2Hex(static_cast<std::int32_t>((256 - (sum & 0xFF)) & 0xFF), 2, p);
    *p++ = '\r';
    *p++ = '\n';
    used = static_cast<std::size_t>(p - buffer.data());
    upper = v;
  };
  auto write_data = [&](std::size_t s, std::size_t n) {
    const auto segment = static_cast<std::int64_t>(s >> 16);
    if (segment != upper) write_upper(segment);
    char* p = line_space(13 + 2 * n);
    *p++ = ':';
    p = Num2Hex(static_cast<std::int32_t>(n), 2, p);
    p = Num2Hex(static_cast<std::int32_t>(s & 0xFFFF), 4, p);
    *p++ = '0';
    *p++ = '0';
    unsigned sum = static_cast<unsigned>(n + (s & 0xFF) + ((s >> 8) & 0xFF));
    for (std::size_t k = 0; k < n; ++k) {
      sum += image[s + k];
      p = Num2Hex(image[s + k], 2, p);
    }
    p = Num2Hex(static_cast<std::int32_t>((256 - (sum & 0xFF)) & 0xFF), 2, p);
    *p++ = '\r';
    *p++ = '\n';
    used = static_cast<std::size_t>(p - buffer.data());
  };

  std::size_t s = 0;  // first byte of the pending record
  std::size_t n = 0;  // bytes in the pending record
  std::size_t f = 0;  // 0xFF bytes since the pending record last grew or was written
  for (std::size_t j = 0; j < image.size(); ++j) {
    if (static_cast<std::int64_t>(s >> 16) != upper) {
      write_upper(static_cast<std::int64_t>(s >> 16));
    }
    if (image[j] == 0xFF) {
      ++f;
    } else {
      if (f >= kGap) {
        if (n > 0) write_data(s, n);
        s = j;
        n = 0;
        f = 0;
      }
      n += 1 + f;
      f = 0;
    }
    if (j + 1 == image.size() || (n > 0 && n + f >= kMaxRecord)) {
      if (n > 0) write_data(s, n);
      s = j + 1;
      n = 0;
      f = 0;
    }
  }
  char* p = line_space(sizeof(kEndOfFileLine) - 1);
  std::memcpy(p, kEndOfFileLine, sizeof(kEndOfFileLine) - 1);
  used += sizeof(kEndOfFileLine) - 1;
  sink(std::string_view(buffer.data(), used));
}

}  // namespace pelkar
