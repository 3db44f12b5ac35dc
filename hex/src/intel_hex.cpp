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

// Two characters as one number, the first in the low byte, to index kPair.
inline unsigned PairAt(const char* p) {
  return static_cast<unsigned char>(p[0]) | unsigned{static_cast<unsigned char>(p[1])} << 8;
}

// The byte that two hex digits spell, by PairAt; 0x100 for a pair that is not two hex digits,
// so that OR-ing the entries of a line tells in one test whether all of them were digits.
constexpr unsigned kBadPair = 0x100;
constexpr std::array<std::uint16_t, 65536> MakePairTable() {
  std::array<std::uint16_t, 65536> t{};
  for (unsigned i = 0; i < t.size(); ++i) {
    const unsigned hi = kDigit[i & 0xFF];
    const unsigned lo = kDigit[i >> 8];
    t[i] = static_cast<std::uint16_t>(hi == 0xFF || lo == 0xFF ? kBadPair : (hi << 4) | lo);
  }
  return t;
}
constexpr std::array<std::uint16_t, 65536> kPair = MakePairTable();

inline unsigned PairValue(const char* p) {
  return kPair[PairAt(p)];
}

// Text is read in pieces of this size at most; a line must fit in one.
constexpr std::size_t kPiece = 1 << 18;

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

// Reads the lines of one text, whole or in pieces, and hands the data records to a sink:
//   void Data(std::int64_t address, const std::uint8_t* bytes, std::size_t count).
// A well-formed data line is taken on a fast path that checks its characters and its
// checksum while it decodes them, without a branch a character; every other line (other
// record types, blanks, Ctrl-Z, anything malformed) goes through NextRecord, which gives the
// same result for a well-formed line and the exact message for a bad one.
template <typename Sink>
class IntelHex::Reader {
 public:
  Reader(IntelHex& hex, Sink& sink) : hex_(hex), sink_(sink) { hex_.UpperAddress = 0; }

  // Reads the lines of text. Unless at_end, text ends just after a line end character; a CR
  // there may pair with an LF that starts the next text.
  void Feed(std::string_view text, bool at_end) {
    const char* p = text.data();
    const char* const stop = p + text.size();
    if (cr_pending_ && p < stop) {
      if (*p == '\n') ++p;
      cr_pending_ = false;
    }
    while (p < stop) {
      const char* next = fast_ ? FastLine(p, stop) : nullptr;
      p = next != nullptr ? next : SlowLine(p, stop);
    }
    if (!at_end && !text.empty() && text.back() == '\r') cr_pending_ = true;
  }

  // Reads a text in pieces: only one piece is held at a time.
  void FeedFrom(const HexSource& read) {
    std::vector<char> buffer(kPiece);
    std::size_t kept = 0;  // the start of a line whose end has not come yet
    for (;;) {
      const std::size_t got = read(std::span(buffer).subspan(kept));
      const std::string_view text(buffer.data(), kept + got);
      if (got == 0) {
        Feed(text, true);
        return;
      }
      const std::size_t last_end = text.find_last_of("\r\n");
      if (last_end == std::string_view::npos) {
        if (text.size() == buffer.size()) {
          throw HexError(line_,
                         "the line is longer than " + std::to_string(kPiece) + " characters");
        }
        kept = text.size();
        continue;
      }
      Feed(text.substr(0, last_end + 1), false);
      kept = text.size() - last_end - 1;
      std::memmove(buffer.data(), buffer.data() + last_end + 1, kept);
    }
  }

 private:
  // The next line's start if p starts a well-formed data record followed by a line end or
  // by the end of the text; nullptr for anything else.
  const char* FastLine(const char* p, const char* stop) {
    if (*p != ':' || stop - p < 11) return nullptr;
    const unsigned n = PairValue(p + 1);
    if (n == kBadPair || stop - p < 11 + 2 * static_cast<std::ptrdiff_t>(n)) return nullptr;
    const unsigned a1 = PairValue(p + 3);
    const unsigned a0 = PairValue(p + 5);
    if (PairValue(p + 7) != kData) return nullptr;
    unsigned bad = a1 | a0;
    unsigned sum = n + a1 + a0;
    const char* digits = p + 9;
    for (unsigned i = 0; i < n; ++i, digits += 2) {
      const unsigned v = PairValue(digits);
      bad |= v;
      sum += v;
      bytes_[i] = static_cast<std::uint8_t>(v);
    }
    const unsigned check = PairValue(digits);
    bad |= check;
    sum += check;
    if ((bad & kBadPair) != 0 || (sum & 0xFF) != 0) return nullptr;
    const char* e = digits + 2;
    if (e < stop) {
      if (*e == '\n') {
        ++e;
      } else if (*e == '\r') {
        ++e;
        if (e < stop && *e == '\n') ++e;
      } else {
        return nullptr;
      }
    }
    state_.after_end_of_file = false;
    sink_.Data(hex_.UpperAddress + ((a1 << 8) | a0), bytes_, n);
    ++line_;
    return e;
  }

  // One line of any kind; returns the next line's start.
  const char* SlowLine(const char* p, const char* stop) {
    const char* end = p;
    while (end < stop && *end != '\n' && *end != '\r')
      ++end;
    const char* next = end;
    if (next < stop && *next++ == '\r' && next < stop && *next == '\n') ++next;
    std::string_view line(p, static_cast<std::size_t>(end - p));
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
      line.remove_suffix(1);
    if (!line.empty()) {
      const std::optional<Record> r = hex_.NextRecord(line, line_, state_);
      // After a Ctrl-Z every line needs its look, however well-formed it is.
      if (state_.after_ctrl_z) fast_ = false;
      if (r && r->type == kData) {
        for (std::size_t i = 0; i < r->count; ++i)
          bytes_[i] = ByteAt(r->digits, 2 * i);
        sink_.Data(r->address, bytes_, r->count);
      }
    }
    ++line_;
    return next;
  }

  IntelHex& hex_;
  Sink& sink_;
  std::size_t line_ = 1;     // number of the line being read
  bool cr_pending_ = false;  // the last text ended with a CR
  bool fast_ = true;
  TextState state_;
  std::uint8_t bytes_[256];  // the data bytes of the last record
};

namespace {

// Stores data records into an image that covers the window [begin, end).
struct ImageSink {
  std::uint8_t* image;
  std::int64_t begin;
  std::int64_t end;
  std::size_t stored = 0;

  void Data(std::int64_t address, const std::uint8_t* bytes, std::size_t count) {
    // Keep the bytes inside the window, whatever the record's length.
    const std::int64_t first = std::max<std::int64_t>(address, begin);
    const std::int64_t last =
        std::min<std::int64_t>(address + static_cast<std::int64_t>(count), end);
    if (last <= first) return;
    std::memcpy(image + (first - begin), bytes + (first - address),
                static_cast<std::size_t>(last - first));
    stored += static_cast<std::size_t>(last - first);
  }
};

// Collects the lowest and highest address that data records write.
struct RangeSink {
  std::optional<HexDataRange> range;

  void Data(std::int64_t address, const std::uint8_t*, std::size_t count) {
    if (count == 0) return;
    const std::int64_t last = address + static_cast<std::int64_t>(count) - 1;
    if (!range) {
      range = HexDataRange{address, last};
    } else {
      range->lowest = std::min(range->lowest, address);
      range->highest = std::max(range->highest, last);
    }
  }
};

}  // namespace

std::vector<std::uint8_t> IntelHex::Hex2Bin(std::string_view text) {
  return ReadImage([text](auto& reader) { reader.Feed(text, true); });
}

std::vector<std::uint8_t> IntelHex::Hex2Bin(const HexSource& read) {
  return ReadImage([&read](auto& reader) { reader.FeedFrom(read); });
}

template <typename Feed>
std::vector<std::uint8_t> IntelHex::ReadImage(const Feed& feed) {
  if (end_ <= begin_) {
    throw HexError(0, "the address window is empty (end " + std::to_string(end_) +
                          " is not above begin " + std::to_string(begin_) + ")");
  }
  std::vector<std::uint8_t> image(static_cast<std::size_t>(std::int64_t{end_} - begin_), 0xFF);
  ImageSink sink{image.data(), begin_, end_};
  Reader<ImageSink> reader(*this, sink);
  feed(reader);
  stored_ = sink.stored;
  return image;
}

std::optional<HexDataRange> IntelHex::DataRange(std::string_view text) {
  return ReadRange([text](auto& reader) { reader.Feed(text, true); });
}

std::optional<HexDataRange> IntelHex::DataRange(const HexSource& read) {
  return ReadRange([&read](auto& reader) { reader.FeedFrom(read); });
}

template <typename Feed>
std::optional<HexDataRange> IntelHex::ReadRange(const Feed& feed) {
  IntelHex hex;
  RangeSink sink;
  Reader<RangeSink> reader(hex, sink);
  feed(reader);
  return sink.range;
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
