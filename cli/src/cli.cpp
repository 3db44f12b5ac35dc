#include "cli/cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>

#include "docs.h"
#include "files/files.h"
#include "firmware/crc.h"
#include "firmware/encoder.h"
#include "firmware/image.h"
#include "firmware_input.h"
#include "hex/intel_hex.h"
#include "output.h"
#include "serial/adapter.h"
#include "serial/port_map.h"
#include "serial/port_name.h"
#include "sim/simulated_device.h"
#include "simulate_command.h"
#include "update_command.h"

namespace pelkar::cli {
namespace {

// hex2bin and bin2hex hold one image: at most 256 MiB of it, and the HEX text for that.
constexpr std::uint64_t kMaxConversionImage = 256ull * 1024 * 1024;
constexpr std::uint64_t kMaxConversionText = 4 * kMaxConversionImage;

const char* const kCommands[] = {"ports",   "update",  "encode",   "info",
                                 "hex2bin", "bin2hex", "simulate", "help"};
// Run by the build, not by users: not offered in the help or as a "did you mean".
constexpr char kDocsCommand[] = "docs";

std::string Shown(const std::string& path) {
  return Printable(path);
}

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

// The edit distance of two short words, for "did you mean".
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j)
    row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

std::optional<std::string> Nearest(const std::string& word) {
  std::optional<std::string> best;
  std::size_t best_distance = 3;  // further than that is no likely typing slip
  for (const char* command : kCommands) {
    const std::size_t d = Distance(word, command);
    if (d < best_distance || std::string_view(command).starts_with(word)) {
      best = command;
      best_distance = std::min(d, best_distance);
    }
  }
  return best;
}

int Ports(bool json, Io io) {
  PortName ports;
  const bool found = ports.PortKerdez() == 1;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (std::uint8_t i = 0; found && i < ports.Portok(); ++i) {
    const auto path = DevicePathForPort(ports.PortSzam(i));
    const auto adapter = path ? AdapterForDevice(*path) : std::nullopt;
    const PortAccess access = path ? AccessOf(*path) : PortAccess::Unknown;
    const auto holders = path ? PortHolders(*path) : std::vector<PortHolder>{};
    // -1: none. (No optional: g++ 12 warns falsely that its value may be used uninitialised.)
    long latency = -1;
    if (path) {
      if (const auto ms = LatencyTimerMs(*path)) latency = static_cast<long>(*ms);
    }
    if (json) {
      nlohmann::ordered_json held = nlohmann::ordered_json::array();
      for (const PortHolder& h : holders)
        held.push_back({{"pid", h.pid}, {"name", h.name}});
      list.push_back({{"port", ports.PortSzam(i)},
                      {"name", ports.PortNev(i)},
                      {"path", path ? nlohmann::ordered_json(*path) : nullptr},
                      {"access", AccessName(access)},
                      {"holders", held},
                      {"latency_ms", latency >= 0 ? nlohmann::ordered_json(latency) : nullptr},
                      {"adapter", AdapterJson(adapter)}});
      continue;
    }
    io.out << "COM" << int{ports.PortSzam(i)} << "\t" << ports.PortNev(i);
    if (access != PortAccess::Unknown) io.out << "\t" << AccessName(access);
    if (!holders.empty()) io.out << " (held by " << Printable(HoldersText(holders)) << ")";
    if (latency >= 0) io.out << "\tlatency timer " << latency << " ms";
    io.out << "\n";
    if (adapter) {
      io.out << "\tUSB " << adapter->vendor_id << ":" << adapter->product_id << " "
             << Printable(adapter->manufacturer) << " / " << Printable(adapter->product)
             << ", serial " << (adapter->serial.empty() ? "none" : Printable(adapter->serial))
             << "\n";
      if (!adapter->by_id.empty()) io.out << "\t" << Printable(adapter->by_id) << "\n";
    }
  }
  if (json) io.out << DumpJson(list, 2) << std::endl;
  if (!found && !json) {
    io.err << "No serial port found. Plug the adapter in, or start a simulated device with "
              "`pelkar1 simulate`."
           << std::endl;
  }
  return kOk;
}

int Encode(const std::string& hex_path, const std::string& out_option, Io io) {
  const std::filesystem::path hex = Utf8Path(hex_path);
  const std::filesystem::path out =
      out_option.empty() ? EncodedImagePath(hex) : Utf8Path(out_option);
  const std::filesystem::path inputs[] = {hex};
  std::vector<std::uint8_t> image;
  try {
    CheckOutput(out, inputs);  // refused before the work, not after it
    image = EncodeHex(ReadHexFile(hex));
  } catch (const HexError& e) {
    throw Failure{kBadInput, Shown(hex_path) + ": " + e.what() + ". Nothing was written."};
  } catch (const EncodeError& e) {
    throw Failure{kBadInput, Shown(hex_path) + ": " + e.what() + " Nothing was written."};
  }
  WriteFileAtomically(out, image, inputs, Durability::Synced);  // it goes into devices
  io.out << "Wrote " << Shown(Utf8(out)) << " (" << image.size() << " bytes, image checksum "
         << ImageCrc(image) << ")" << std::endl;
  return kOk;
}

int Info(const std::string& path, bool json, Io io) {
  const FirmwareInput input = LoadFirmware(path);
  const FirmwareImage& image = input.image;
  const auto wire = CrcWireBytes(image.crc);
  if (json) {
    nlohmann::ordered_json j;
    j["file"] = path;
    j["format"] = input.from_hex ? "intel-hex" : "image";
    j["file_sha256"] = input.file_sha256;
    j["size"] = image.bytes.size();
    j["blocks"] = image.bytes.size() / kBlockSize;
    j["image_sha256"] = input.image_sha256;
    j["image_crc"] = image.crc;
    j["crc_bytes"] = std::vector<int>(wire.begin(), wire.end());
    io.out << DumpJson(j, 2) << std::endl;
    return kOk;
  }
  char bytes[32];
  std::snprintf(bytes, sizeof bytes, "%02X %02X %02X %02X", wire[0], wire[1], wire[2], wire[3]);
  io.out << "File:       " << Shown(path) << "\n";
  if (input.from_hex) io.out << "Format:     Intel HEX, encoded in memory as `encode` does\n";
  io.out << "Size:       " << image.bytes.size() << " bytes\n"
         << "Blocks:     " << image.bytes.size() / kBlockSize << " of 256 bytes\n"
         << "Image CRC:  " << image.crc << " (sent as " << bytes << ")\n"
         << "SHA-256:    " << input.image_sha256 << " (image)" << std::endl;
  return kOk;
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

// Seconds for a time-out: above 0 and at most a day, so no clock arithmetic can overflow.
CLI::Validator Seconds() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0' || !(v > 0 && v <= 86400)) {
          return "must be a number of seconds above 0 and at most 86400 (a day), not '" +
                 Printable(text) + "'";
        }
        return "";
      },
      "SECONDS");
}

constexpr const char* kExitCodes =
    "Exit status (the worst of all ports and units; with --repeat 0 when every unit passed): "
    "0 update OK; 1 the device answered \"Update "
    "unsuccessful\"; 2 usage error; 3 port cannot be opened or was lost; 4 time-out; 5 "
    "protocol error; 6 bad input file; 130 interrupted.";

int Usage(const std::string& line, Io io) {
  io.err << "pelkar1: " << line << std::endl;
  return kUsage;
}

// A command: its subcommand with the options it parses into, and what it does with them. The
// options live as long as the action that reads them.
struct Command {
  CLI::App* sub;
  std::function<int()> run;
};

Command PortsCommand(CLI::App& app, Io io) {
  auto json = std::make_shared<bool>(false);
  auto* sub = app.add_subcommand("ports", "List the serial ports and their COM numbers");
  sub->add_flag("--json", *json, "Print a JSON array");
  return {sub, [=] { return Ports(*json, io); }};
}

Command UpdateCommand(CLI::App& app, Io io) {
  auto update = std::make_shared<UpdateRequest>();
  auto count = std::make_shared<std::size_t>(0);
  auto* up = app.add_subcommand("update", "Send an image to one or several devices");
  up->add_option("--port", update->ports,
                 "COM number (33), name (COM33, ttyUSB0), path (also /dev/serial/by-id/...) or "
                 "a USB adapter's serial number; repeat to update several devices at once")
      ->required()
      ->allow_extra_args(false);
  up->add_option("IMAGE", update->image,
                 "Image file (.bin) written by `pelkar1 encode`, or the Intel HEX build itself "
                 "(.hex, .ihx, or any file of HEX text), encoded in memory as `encode` does")
      ->required();
  up->add_option("--timeout", update->timeout_s,
                 "Seconds without progress (a byte the exchange takes) once the device has "
                 "spoken")
      ->capture_default_str()
      ->check(Seconds());
  auto* hello_timeout = up->add_option("--hello-timeout", update->hello_timeout_s,
                                       "Seconds to wait for the device's hello (with --repeat: "
                                       "for the next unit; none unless given)")
                            ->capture_default_str()
                            ->check(Seconds());
  up->add_flag("--json", update->json,
               "Print one JSON object a port on stdout at the end (with --repeat: one a unit, "
               "as it ends); the fields of --log");
  up->add_flag("--quiet", update->quiet, "No progress, only the result lines");
  up->add_flag("--trace", update->trace, "Dump every byte on the wire with a time stamp");
  auto* repeat = up->add_flag("--repeat", update->repeat,
                              "Unit after unit on every port until Ctrl-C or --count; a summary "
                              "line at the end");
  up->add_option("--count", *count, "With --repeat: stop after N units (over all ports)")
      ->type_name("N")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000000}))
      ->needs(repeat);
  up->add_option("--log", update->log,
                 "Append one JSON object per unit and port to FILE (JSON Lines), synced per "
                 "record; several pelkar1 may share one file")
      ->type_name("FILE");
  up->footer(std::string(kRepeatRule) + "\n\n" + kExitCodes);
  return {up, [=] {
            update->hello_timeout_given = hello_timeout->count() > 0;
            if (*count > 0) update->count = *count;
            return RunUpdate(*update, io);
          }};
}

Command EncodeCommand(CLI::App& app, Io io) {
  auto in = std::make_shared<std::string>();
  auto out = std::make_shared<std::string>();
  auto* sub = app.add_subcommand("encode", "Turn an Intel HEX build into an image file");
  sub->add_option("FIRMWARE", *in, "Intel HEX file")->required();
  sub->add_option("-o,--output", *out, "Image file to write (default: beside it, .bin)");
  return {sub, [=] { return Encode(*in, *out, io); }};
}

Command InfoCommand(CLI::App& app, Io io) {
  auto image = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  auto* sub = app.add_subcommand("info", "Show an image file's size, blocks and checksum");
  sub->add_option("IMAGE", *image, "Image file, or an Intel HEX build (encoded in memory)")
      ->required();
  sub->add_flag("--json", *json, "Print a JSON object");
  return {sub, [=] { return Info(*image, *json, io); }};
}

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

Command SimulateCommand(CLI::App& app, Io io) {
  struct Options {
    SimulatorOptions sim;
    int com = 0;
    int verdict = -1;
    std::size_t silent_after = 0;
    std::size_t hangup_after = 0;
    std::string save;
    std::uint32_t next_unit_ms = 0;
    std::size_t units = 0;
    std::string on;
  };
  auto o = std::make_shared<Options>();
  SimulatorOptions& sim = o->sim;
  auto* simulate = app.add_subcommand("simulate", "Offer a simulated device as a virtual port");
  auto* com =
      simulate->add_option("--com", o->com, "COM number to offer (200-255; default: the first free)")
          ->check(CLI::Range(200, 255));
  simulate
      ->add_option("--on", o->on,
                   "Run on this serial port instead of a virtual one: an adapter wired "
                   "null-modem to the host's, a UART, a USB gadget's port")
      ->type_name("PATH")
      ->excludes(com);
  simulate->add_option("--blocks", sim.device.blocks, "Blocks to ask for")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{32768}));
  simulate->add_option("--baud", sim.baud, "Pace the host's bytes as an 8N1 line (0: no pacing)")
      ->capture_default_str();
  simulate->add_flag("--fail", sim.device.fail, "Answer \"Update unsuccessful\" (14)");
  simulate->add_flag("--noise", sim.device.noise, "Send stray bytes before every request");
  simulate->add_option("--flash-ms", sim.flash_ms, "Pause after each block, as a flash write")
      ->capture_default_str();
  simulate->add_flag("--once", sim.once, "End after one update");
  simulate->add_flag("--bad-hello", sim.device.bad_hello, "Open with a wrong first byte");
  simulate->add_option("--silent-after", o->silent_after, "Fall silent after K blocks");
  simulate->add_option("--hangup-after", o->hangup_after,
                       "Make the port vanish after K blocks, as an unplugged adapter");
  simulate->add_option("--verdict", o->verdict, "Answer this byte instead of 14 or 15")
      ->check(CLI::Range(0, 255));
  simulate->add_option("--save", o->save, "Keep the received image in this file");
  simulate
      ->add_option("--next-unit-ms", o->next_unit_ms,
                   "After a verdict, greet the same host as the next unit after MS "
                   "milliseconds, as a fixture with a fresh unit")
      ->type_name("MS");
  simulate->add_option("--text-after", sim.text_after,
                       "A line of text each unit prints after its verdict");
  simulate
      ->add_option("--fail-units", sim.failing_units,
                   "Units (1 = the first) that answer \"Update unsuccessful\"")
      ->type_name("N,...")
      ->delimiter(',');
  simulate->add_option("--units", o->units, "Units in all; silent after the last")
      ->type_name("N")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000000}));
  simulate->add_flag("--wait-reset", sim.wait_reset,
                     "Greet only when reset (SIGUSR1), not when a host opens the port");
  return {simulate, [=] {
            SimulatorOptions& s = o->sim;
            if (o->com != 0) s.com = static_cast<std::uint8_t>(o->com);
            if (o->verdict >= 0) s.device.verdict = static_cast<std::uint8_t>(o->verdict);
            if (simulate->count("--silent-after") > 0) s.device.silent_after = o->silent_after;
            if (simulate->count("--hangup-after") > 0) s.hangup_after = o->hangup_after;
            if (!o->save.empty()) s.save = Utf8Path(o->save);
            if (simulate->count("--next-unit-ms") > 0) s.next_unit_ms = o->next_unit_ms;
            if (simulate->count("--units") > 0) s.units = o->units;
            if (simulate->count("--on") > 0) s.on = o->on;
            return Simulate(s, io);
          }};
}

// The manual page and the bash completion, written from the parser's own definitions.
Command DocsCommand(CLI::App& app) {
  auto kind = std::make_shared<std::string>();
  auto out = std::make_shared<std::string>();
  auto* docs = app.add_subcommand(kDocsCommand, "Write the manual page or the bash completion");
  docs->group("");
  docs->add_option("KIND", *kind)->required()->check(CLI::IsMember({"man", "bash-completion"}));
  docs->add_option("-o,--output", *out)->required();
  return {docs, [=, &app] {
            std::ostringstream text;
            if (*kind == "man") {
              WriteManPage(app, PELKAR_VERSION, text);
            } else {
              WriteBashCompletion(app, text);
            }
            const std::string t = text.str();
            WriteFileAtomically(
                Utf8Path(*out),
                std::span(reinterpret_cast<const std::uint8_t*>(t.data()), t.size()), {},
                Durability::Unsynced);
            return kOk;
          }};
}

// Every error in one short line; the help is one option away.
void Configure(CLI::App& app) {
  app.require_subcommand(1);
  // "/name" is a path on every system, never an option as CLI11 reads it on Windows.
  app.allow_windows_style_options(false);
  app.set_help_all_flag("--help-all", "Show the help of every command");
  app.set_version_flag("--version", std::string("pelkar1 ") + PELKAR_VERSION);
  app.failure_message([](const CLI::App* from, const CLI::Error& e) {
    std::string name = from->get_name();
    std::string what = e.what();
    std::replace(what.begin(), what.end(), '\n', ' ');
    return "pelkar1" + (name == "pelkar1" ? std::string() : " " + name) + ": " + what +
           " (see --help)\n";
  });
}

// Every failure ends as one line and its status; nothing reaches the caller unhandled.
int Guarded(const std::function<int()>& run, Io io) {
  try {
    return run();
  } catch (const Failure& f) {
    io.err << f.message << std::endl;
    return f.status;
  } catch (const FileError& e) {
    io.err << e.what() << std::endl;
    return kBadInput;
  } catch (const std::bad_alloc&) {
    io.err << "Not enough memory for this file; nothing was written." << std::endl;
    return kBadInput;
  } catch (const std::exception& e) {
    io.err << "pelkar1: " << Printable(e.what()) << std::endl;
    return kBadInput;
  }
}

// The commands that write files leave no temporary file when a signal ends them.
Command RemovingTemporaries(Command c) {
  return {c.sub, [run = c.run] {
            RemoveTemporaryFilesOnSignals();
            return run();
          }};
}

}  // namespace

int Run(const std::vector<std::string>& args, Io io) {
  // `pelkar1 help [COMMAND]` is `pelkar1 [COMMAND] --help`.
  if (args.size() >= 2 && args[1] == "help") {
    std::vector<std::string> again{args[0]};
    if (args.size() >= 3) again.push_back(args[2]);
    again.push_back("--help");
    if (args.size() > 3) return Usage("help takes one command at most.", io);
    return Run(again, io);
  }
  if (args.size() >= 2 && !args[1].empty() && args[1][0] != '-' && args[1] != kDocsCommand &&
      std::find(std::begin(kCommands), std::end(kCommands), args[1]) == std::end(kCommands)) {
    const auto nearest = Nearest(args[1]);
    return Usage("unknown command '" + Printable(args[1]) + "'." +
                     (nearest ? " Did you mean '" + *nearest + "'?" : "") +
                     " See `pelkar1 --help`.",
                 io);
  }

  CLI::App app{"pelkar1 - firmware update tool for Pelkar devices", "pelkar1"};
  Configure(app);
  // In the order `pelkar1 --help` lists them.
  std::vector<Command> commands{PortsCommand(app, io),
                                UpdateCommand(app, io),
                                RemovingTemporaries(EncodeCommand(app, io)),
                                RemovingTemporaries(InfoCommand(app, io)),
                                RemovingTemporaries(Hex2BinCommand(app, io)),
                                RemovingTemporaries(Bin2HexCommand(app, io)),
                                RemovingTemporaries(SimulateCommand(app, io))};
  app.add_subcommand("help", "Show the help of a command: pelkar1 help COMMAND");
  commands.push_back(DocsCommand(app));

  std::vector<std::string> argv_tail(args.rbegin(), args.rend() - 1);
  try {
    app.parse(argv_tail);
  } catch (const CLI::ParseError& e) {
    std::ostringstream o;
    std::ostringstream er;
    const int code = app.exit(e, o, er);
    io.out << o.str();
    io.err << er.str();
    return code == 0 ? kOk : kUsage;
  }
  for (const Command& c : commands) {
    if (*c.sub) return Guarded(c.run, io);
  }
  return kUsage;
}

}  // namespace pelkar::cli
