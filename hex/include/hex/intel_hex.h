// Intel HEX text <-> flat byte image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pelkar {

// Raised for malformed HEX text and for an unusable address window. No image is returned
// when it is raised.
class HexError : public std::runtime_error {
 public:
  // line: 1-based number of the offending line, or 0 when the error concerns no line.
  HexError(std::size_t line, const std::string& reason);

  std::size_t line() const noexcept { return line_; }
  const std::string& reason() const noexcept { return reason_; }

 private:
  std::size_t line_;
  std::string reason_;
};

// Lowest and highest absolute address (inclusive) that a data record of a text writes.
struct HexDataRange {
  std::int64_t lowest = 0;
  std::int64_t highest = 0;
};

// Where a text read in pieces comes from: fills the buffer it is given and returns the count,
// 0 at the end.
using HexSource = std::function<std::size_t(std::span<char>)>;
// Where text written in pieces goes, in order.
using HexSink = std::function<void(std::string_view)>;

class IntelHex {
 public:
  // The address window of Hex2Bin: absolute addresses AddresBegin <= a < AddressEnd.
  void AddresBegin(std::int32_t value) noexcept { begin_ = value; }
  void AddressEnd(std::int32_t value) noexcept { end_ = value; }

  // Reads HEX text into a new image of AddressEnd - AddresBegin bytes, 0xFF where no data
  // record wrote. Data outside the window is skipped. Lines end with LF, CR LF or CR; a run
  // of Ctrl-Z after the end-of-file record ends the text. Throws HexError on a malformed line
  // (with its number) or when AddressEnd <= AddresBegin.
  std::vector<std::uint8_t> Hex2Bin(std::string_view text);
  // The same for a text read in pieces, so that a large file never sits in memory whole.
  std::vector<std::uint8_t> Hex2Bin(const HexSource& read);

  // Number of data bytes the last successful Hex2Bin stored inside the window (a byte
  // written twice counts twice); 0 means the text held no data for the window.
  std::size_t BytesStored() const noexcept { return stored_; }

  // Writes an image as HEX text: records of at most 16 bytes, runs of six or more 0xFF
  // bytes left out, extended linear address records where needed, upper-case digits,
  // CR LF line ends, end-of-file record last.
  std::string Bin2Hex(std::span<const std::uint8_t> image) const;
  // The same text, handed to sink in pieces of at most 256 KiB.
  void Bin2Hex(std::span<const std::uint8_t> image, const HexSink& sink) const;

  // The range of absolute addresses that the data records of a text cover, or nothing
  // when the text holds no data byte. Validates every line like Hex2Bin.
  static std::optional<HexDataRange> DataRange(std::string_view text);
  static std::optional<HexDataRange> DataRange(const HexSource& read);

 private:
  // One checked record of a line. The data bytes stay as hex digits in the line until the
  // caller decodes the part it keeps, so no line costs an allocation.
  struct Record {
    std::uint8_t type = 0;
    std::uint8_t count = 0;    // n, the number of data bytes
    std::int64_t address = 0;  // absolute address of the first data byte (type 00)
    std::string_view digits;   // 2n hex digits of the data
  };

  // Reads the lines of a text and hands its data records to a sink.
  template <typename Sink>
  class Reader;
  // Reads a text, whole or in pieces as feed(reader) chooses.
  template <typename Feed>
  std::vector<std::uint8_t> ReadImage(const Feed& feed);
  template <typename Feed>
  static std::optional<HexDataRange> ReadRange(const Feed& feed);

  // Checks one line (without its line end) and takes it apart; records of type 02 and 04
  // move UpperAddress. Throws HexError naming line_number.
  Record Line2Record(std::string_view line, std::size_t line_number);

  // What reading one text has seen beyond UpperAddress, for the Ctrl-Z that old DOS tools
  // put after the end-of-file record.
  struct TextState {
    bool after_end_of_file = false;        // the last record read was an end-of-file record
    std::optional<HexError> after_ctrl_z;  // the Ctrl-Z line's error, raised if text follows it
  };
  // Line2Record, except that a Ctrl-Z run ending the text after the end-of-file record is
  // no record (nothing is returned for it).
  std::optional<Record> NextRecord(std::string_view line, std::size_t line_number,
                                   TextState& state);

  // value as exactly `digits` upper-case hex digits (its low 4 * digits bits), written at out.
  static char* Num2Hex(std::int32_t value, std::uint8_t digits, char* out) noexcept;
  // Assembles written records into large pieces for a sink.
  class HexOut;

  std::int32_t begin_ = 0;
  std::int32_t end_ = 0;
  std::int64_t UpperAddress = 0;  // base of later data records, set by a type 02 or 04 record
  std::size_t stored_ = 0;
};

}  // namespace pelkar
