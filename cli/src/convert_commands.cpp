#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

#include "commands.h"
#include "files/files.h"
#include "hex/intel_hex.h"
#include "output.h"

namespace pelkar::cli {

namespace {

// hex2bin and bin2hex hold one image: at most 256 MiB of it, and the HEX text for that.
constexpr std::uint64_t kMaxConversionImage = 256ull * 1024 * 1024;
constexpr std::uint64_t kMaxConversionText = 4 * kMaxConversionImage;

// "4096" or "0x1000"; a leading 0 is no octal marker.
std::int64_t ParseAddress(const std::string& text, const char* what) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  const bool ok = !digits.empty() && digits.size() <= 10 &&
                  std::all_of(digits.begin(), digits.end(), [hex](char c) {
                    return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                               : std::isdigit(static_cast<unsigned char>(c)) != 0;
                  });
  if (ok) {
    const std::int64_t v = std::stoll(digits, nullptr, hex ? 16 : 10);
    if (v <= INT32_MAX) return v;
  }
  throw Failure{kUsage, std::string(what) +
                            " must be an address from 0 to 0x7FFFFFFF (decimal, "
                            "or hexadecimal with 0x), not '" +
                            Shown(text) + "'."};
}

// The conversions' output can be made again from their input: renamed into place, not synced.
int Hex2Bin(const std::string& in, const std::string& out, const std::string& begin_text,
            const std::string& end_text, Io io) {
  std::int64_t begin = begin_text.empty() ? 0 : ParseAddress(begin_text, "--begin");
  std::int64_t end = end_text.empty() ? 0 : ParseAddress(end_text, "--end");
  const std::filesystem::path inputs[] = {Utf8Path(in)};
  CheckOutput(Utf8Path(out), inputs);
  // The text is read in pieces: only the image is held whole.
  InputFile file(inputs[0], kMaxConversionText, "it is larger than 1 GiB of HEX text");
  const HexSource source = [&file](std::span<char> piece) { return file.Read(piece); };
  try {
    if (begin_text.empty() || end_text.empty()) {
      const auto range = IntelHex::DataRange(source);
      file.Rewind();
      if (!range) throw Failure{kBadInput, Shown(in) + " holds no data. Nothing was written."};
      if (begin_text.empty()) begin = range->lowest;
      if (end_text.empty()) end = range->highest + 1;
    }
    if (end <= begin) throw Failure{kUsage, "--end must lie above --begin."};
    if (static_cast<std::uint64_t>(end - begin) > kMaxConversionImage) {
      char span[160];
      std::snprintf(span, sizeof span,
                    " spans addresses 0x%llX to 0x%llX (%.1f MiB); hex2bin writes at most 256 "
                    "MiB. Choose the part you need with --begin and --end.",
                    static_cast<unsigned long long>(begin),
                    static_cast<unsigned long long>(end - 1),
                    static_cast<double>(end - begin) / (1024.0 * 1024.0));
      throw Failure{kBadInput, Shown(in) + span};
    }
    if (end > INT32_MAX) {
      throw Failure{kBadInput, Shown(in) + " holds data above 0x7FFFFFFE; give --begin and --end."};
    }
    IntelHex hex;
    hex.AddresBegin(static_cast<std::int32_t>(begin));
    hex.AddressEnd(static_cast<std::int32_t>(end));
    const auto image = hex.Hex2Bin(source);
    WriteFileAtomically(Utf8Path(out), image, inputs, Durability::Unsynced);
    io.out << "Wrote " << Shown(out) << " (" << image.size() << " bytes, addresses 0x" << std::hex
           << begin << " to 0x" << end - 1 << std::dec << ")" << std::endl;
  } catch (const HexError& e) {
    throw Failure{kBadInput, Shown(in) + ": " + e.what() + ". Nothing was written."};
  }
  return kOk;
}

int Bin2Hex(const std::string& in, const std::string& out, Io io) {
  const std::filesystem::path inputs[] = {Utf8Path(in)};
  CheckOutput(Utf8Path(out), inputs);
  InputFile input(inputs[0], kMaxConversionImage,
                  "it is larger than 256 MiB, the most bin2hex converts");
  const auto image = input.View();
  std::size_t written = 0;
  // Written in pieces as they are made: only the image is held whole.
  AtomicFile file(Utf8Path(out), inputs, Durability::Unsynced);
  // At most 45 characters for 16 bytes, and an address record for every 64 KiB.
  file.Reserve(image.size() / 16 * 45 + 45 + (image.size() / 65536 + 1) * 17 + 13);
  IntelHex{}.Bin2Hex(image, [&](std::string_view piece) {
    file.Write(piece);
    written += piece.size();
  });
  file.Commit();
  io.out << "Wrote " << Shown(out) << " (" << written << " characters for " << image.size()
         << " bytes)" << std::endl;
  return kOk;
}

}  // namespace

Command Hex2BinCommand(CLI::App& app, Io io) {
  struct Options {
    std::string in, out, begin, end;
  };
  auto o = std::make_shared<Options>();
  auto* sub = app.add_subcommand("hex2bin", "Convert Intel HEX to a binary image");
  sub->add_option("IN", o->in, "Intel HEX file")->required();
  sub->add_option("OUT", o->out, "Binary file")->required();
  sub->add_option("--begin", o->begin,
                  "First address, decimal or 0x hexadecimal (default: the lowest address that "
                  "holds data)");
  sub->add_option("--end", o->end, "Address after the last (default: after the highest data)");
  return {sub, [=] { return Hex2Bin(o->in, o->out, o->begin, o->end, io); }};
}

Command Bin2HexCommand(CLI::App& app, Io io) {
  auto in = std::make_shared<std::string>();
  auto out = std::make_shared<std::string>();
  auto* sub = app.add_subcommand("bin2hex", "Convert a binary image to Intel HEX");
  sub->add_option("IN", *in, "Binary file")->required();
  sub->add_option("OUT", *out, "Intel HEX file")->required();
  return {sub, [=] { return Bin2Hex(*in, *out, io); }};
}

}  // namespace pelkar::cli
