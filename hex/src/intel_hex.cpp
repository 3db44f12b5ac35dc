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

// Two characters as one number, the first in the low byte, to index the pair table.
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
using PairTable = std::array<std::uint16_t, 65536>;

// Built on first use: too many steps for some compilers to build it as a constant.
const PairTable& Pairs() {
  static const PairTable table = MakePairTable();
  return table;
}

inline unsigned PairValue(const PairTable& pairs, const char* p) {
  return pairs[PairAt(p)];
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
    // Locals only: the byte stores below may alias any member, which would then be reloaded.
    const PairTable& pairs = pairs_;
    std::uint8_t* const out = bytes_;
    if (*p != ':' || stop - p < 11) return nullptr;
    const unsigned n = PairValue(pairs, p + 1);
    if (n == kBadPair || stop - p < 11 + 2 * static_cast<std::ptrdiff_t>(n)) return nullptr;
    const unsigned a1 = PairValue(pairs, p + 3);
    const unsigned a0 = PairValue(pairs, p + 5);
    if (PairValue(pairs, p + 7) != kData) return nullptr;
    unsigned bad = a1 | a0;
    unsigned sum = n + a1 + a0;
    const char* digits = p + 9;
    for (unsigned i = 0; i < n; ++i, digits += 2) {
      const unsigned v = PairValue(pairs, digits);
      bad |= v;
      sum += v;
      out[i] = static_cast<std::uint8_t>(v);
    }
    const unsigned check = PairValue(pairs, digits);
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

  const PairTable& pairs_ = Pairs();
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

namespace {

// Upper-case hex digits of every byte value, two characters each.
constexpr std::array<std::array<char, 2>, 256> MakeHexPairs() {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::array<std::array<char, 2>, 256> t{};
  for (unsigned b = 0; b < 256; ++b)
    t[b] = {kHex[b >> 4], kHex[b & 0xF]};
  return t;
}
constexpr std::array<std::array<char, 2>, 256> kHexPair = MakeHexPairs();

// Eight bytes at p, in any order: only their values matter.
inline std::uint64_t Load8(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Whether none of the 16 bytes at p is 0xFF.
inline bool NoFfIn16(const std::uint8_t* p) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = 0x8080808080808080;
  // A byte of ~w is zero exactly where w has 0xFF.
  const std::uint64_t a = ~Load8(p);
  const std::uint64_t b = ~Load8(p + 8);
  return ((((a - kOnes) & ~a) | ((b - kOnes) & ~b)) & kHighs) == 0;
}

constexpr std::size_t kOutPiece = 1 << 18;
constexpr std::size_t kLongestLine = 13 + 2 * 255;
static_assert(kLongestLine < kOutPiece);

}  // namespace

char* IntelHex::Num2Hex(std::int32_t value, std::uint8_t digits, char* out) noexcept {
  // The two's complement form, cut to its last `digits` digits and filled with zeros; whole
  // bytes come from the pair table.
  const auto bits = static_cast<std::uint32_t>(value);
  int i = digits;
  if (i % 2 != 0) {
    --i;
    *out++ = i < 8 ? kHexPair[(bits >> (4 * i)) & 0xF][1] : '0';
  }
  while (i > 0) {
    i -= 2;
    std::memcpy(out, kHexPair[i < 8 ? (bits >> (4 * i)) & 0xFF : 0].data(), 2);
    out += 2;
  }
  return out;
}

// Output assembled in one buffer and handed to the sink in large pieces.
class IntelHex::HexOut {
 public:
  explicit HexOut(const HexSink& sink) : sink_(sink), buffer_(kOutPiece) {}

  // Room for a line of up to `chars` characters; Done(end) then marks what was written.
  char* Room(std::size_t chars) {
    if (used_ + chars > buffer_.size()) Flush();
    return buffer_.data() + used_;
  }
  void Done(const char* end) { used_ = static_cast<std::size_t>(end - buffer_.data()); }
  void Flush() {
    if (used_ > 0) sink_(std::string_view(buffer_.data(), used_));
    used_ = 0;
  }

  // An extended linear address record for the upper 16 bits v.
  void Upper(std::size_t v) {
    char* p = Room(17);
    std::memcpy(p, ":02000004", 9);
    p = Num2Hex(static_cast<std::int32_t>(v), 4, p + 9);
    p = Num2Hex(static_cast<std::int32_t>(-(2 + 4 + (v >> 8) + (v & 0xFF)) & 0xFF), 2, p);
    std::memcpy(p, "\r\n", 2);
    Done(p + 2);
  }

  // A data record for the n bytes at `bytes`, whose address field is the low 16 bits of s;
  // the digits and the checksum in one pass.
  void Data(std::size_t s, const std::uint8_t* bytes, std::size_t n) {
    char* p = Room(13 + 2 * n);
    const auto hi = static_cast<unsigned>(s >> 8) & 0xFF;
    const auto lo = static_cast<unsigned>(s) & 0xFF;
    unsigned sum = static_cast<unsigned>(n) + hi + lo;
    *p = ':';
    p = Num2Hex(static_cast<std::int32_t>(n), 2, p + 1);
    p = Num2Hex(static_cast<std::int32_t>(s & 0xFFFF), 4, p);
    *p++ = '0';
    *p++ = '0';
    for (std::size_t k = 0; k < n; ++k) {
      sum += bytes[k];
      p = Num2Hex(bytes[k], 2, p);
    }
    p = Num2Hex(static_cast<std::int32_t>((0u - sum) & 0xFF), 2, p);
    std::memcpy(p, "\r\n", 2);
    Done(p + 2);
  }

 private:
  const HexSink& sink_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
};

std::string IntelHex::Bin2Hex(std::span<const std::uint8_t> image) const {
  std::string text;
  text.reserve(image.size() / kMaxRecord * kLineChars + sizeof(kEndOfFileLine) - 1);
  Bin2Hex(image, [&text](std::string_view piece) { text.append(piece); });
  return text;
}

void IntelHex::Bin2Hex(std::span<const std::uint8_t> image, const HexSink& sink) const {
  // The records that a byte-by-byte walk writes (a record of at most 16 bytes, ended early
  // by a run of six or more 0xFF before a data byte, trailing 0xFF left out), found a record
  // at a time: a run of 16 bytes without 0xFF, the common case, is one test.
  HexOut out(sink);
  const std::uint8_t* const bytes = image.data();
  const std::size_t size = image.size();
  std::size_t upper = 0;  // the upper 16 bits last announced
  auto announce = [&](std::size_t s) {
    if ((s >> 16) != upper) {
      upper = s >> 16;
      out.Upper(upper);
    }
  };
  auto data = [&](std::size_t s, std::size_t n) {
    announce(s);
    out.Data(s, bytes + s, n);
  };

  std::size_t s = 0;  // where the next record may start
  while (s < size) {
    announce(s);  // also before a gap, as the byte-by-byte walk does
    if (size - s >= kMaxRecord && NoFfIn16(bytes + s)) {
      data(s, kMaxRecord);
      s += kMaxRecord;
      continue;
    }
    std::size_t k = s;  // the first data byte
    while (size - k >= 8 && Load8(bytes + k) == ~std::uint64_t{0})
      k += 8;
    while (k < size && bytes[k] == 0xFF)
      ++k;
    if (k == size) break;
    std::size_t r = k - s >= kGap ? k : s;  // fewer than six leading 0xFF join the record
    std::size_t n = k - r + 1;              // bytes of the record up to its last data byte
    std::size_t f = 0;                      // 0xFF bytes after them
    for (std::size_t j = k;;) {
      if (j + 1 == size || n + f >= kMaxRecord) {
        data(r, n);
        s = j + 1;
        break;
      }
      if (bytes[++j] == 0xFF) {
        ++f;
        continue;
      }
      if (f >= kGap) {
        data(r, n);
        r = j;
        n = 0;
        f = 0;
      }
      n += 1 + f;
      f = 0;
    }
  }
  char* p = out.Room(sizeof(kEndOfFileLine) - 1);
  std::memcpy(p, kEndOfFileLine, sizeof(kEndOfFileLine) - 1);
  out.Done(p + sizeof(kEndOfFileLine) - 1);
  out.Flush();
}

}  // namespace pelkar
