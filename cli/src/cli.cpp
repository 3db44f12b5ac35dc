#include "cli/cli.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>

#include "firmware/crc.h"
#include "firmware/encoder.h"
#include "firmware/image.h"
#include "hex/intel_hex.h"
#include "serial/linux_port_source.h"
#include "serial/port_map.h"
#include "serial/port_name.h"
#include "sim/simulated_device.h"
#include "update_command.h"

namespace pelkar::cli {
namespace {

// A failure with its exit status and the one line that tells the user what to do.
struct Failure {
  int status;
  std::string message;
};

std::vector<std::uint8_t> ReadBinary(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw Failure{kBadInput, path + " is a folder."};
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure{kBadInput, "Cannot read " + path + ": " + std::strerror(errno) + "."};
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
}

void WriteOutput(const std::string& path, std::span<const std::uint8_t> bytes) {
  try {
    WriteFileAtomically(path, bytes);
  } catch (const std::system_error& e) {
    throw Failure{kBadInput, std::string(e.what()) + ". Check the folder and the free space."};
  }
}

std::string ReadHex(const std::string& path) {
  try {
    return ReadTextFile(path);
  } catch (const EncodeError& e) {
    throw Failure{kBadInput, e.what()};
  }
}

// "4096", "0x1000" or "0X1000".
std::int64_t ParseAddress(const std::string& text, const char* what) {
  try {
    std::size_t used = 0;
    const std::int64_t v = std::stoll(text, &used, 0);
    if (used == text.size() && v >= 0 && v <= INT32_MAX) return v;
  } catch (const std::exception&) {
  }
  throw Failure{
      kUsage, std::string(what) + " must be an address from 0 to 0x7FFFFFFF, not '" + text + "'."};
}

int Ports(bool json, Io io) {
  PortName ports;
  const bool found = ports.PortKerdez() == 1;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (std::uint8_t i = 0; found && i < ports.Portok(); ++i) {
    const auto path = DevicePathForPort(ports.PortSzam(i));
    if (json) {
      list.push_back(
          {{"port", ports.PortSzam(i)}, {"name", ports.PortNev(i)}, {"path", path.value_or("")}});
    } else {
      io.out << "COM" << int{ports.PortSzam(i)} << "\t" << ports.PortNev(i) << "\n";
    }
  }
  if (json) io.out << list.dump(2) << std::endl;
  if (!found && !json) {
    io.err << "No serial port found. Plug the adapter in, or start a simulated device with "
              "`pelkar1 simulate`."
           << std::endl;
  }
  return kOk;
}

int Encode(const std::string& hex_path, const std::string& out_option, Io io) {
  const std::filesystem::path out =
      out_option.empty() ? EncodedImagePath(hex_path) : std::filesystem::path(out_option);
  if (std::filesystem::path(hex_path) == out) {
    throw Failure{kUsage,
                  "The image would replace the HEX file itself; name another output "
                  "with -o."};
  }
  std::vector<std::uint8_t> image;
  try {
    image = EncodeHex(ReadHex(hex_path));
  } catch (const HexError& e) {
    throw Failure{kBadInput, hex_path + ": " + e.what() + ". Nothing was written."};
  } catch (const EncodeError& e) {
    throw Failure{kBadInput, hex_path + ": " + e.what() + " Nothing was written."};
  }
  WriteOutput(out.string(), image);
  io.out << "Wrote " << out.string() << " (" << image.size() << " bytes, image checksum "
         << ImageCrc(image) << ")" << std::endl;
  return kOk;
}

int Info(const std::string& path, bool json, Io io) {
  FirmwareImage image;
  try {
    image = LoadImageFile(path);
  } catch (const ImageFileError& e) {
    throw Failure{kBadInput, e.what()};
  }
  const auto wire = CrcWireBytes(image.crc);
  if (json) {
    nlohmann::ordered_json j;
    j["file"] = path;
    j["size"] = image.bytes.size();
    j["blocks"] = image.bytes.size() / kBlockSize;
    j["image_crc"] = image.crc;
    j["crc_bytes"] = std::vector<int>(wire.begin(), wire.end());
    io.out << j.dump(2) << std::endl;
    return kOk;
  }
  char bytes[32];
  std::snprintf(bytes, sizeof bytes, "%02X %02X %02X %02X", wire[0], wire[1], wire[2], wire[3]);
  io.out << "File:       " << path << "\n"
         << "Size:       " << image.bytes.size() << " bytes\n"
         << "Blocks:     " << image.bytes.size() / kBlockSize << " of 256 bytes\n"
         << "Image CRC:  " << image.crc << " (sent as " << bytes << ")" << std::endl;
  return kOk;
}

int Hex2Bin(const std::string& in, const std::string& out, const std::string& begin_text,
            const std::string& end_text, Io io) {
  const std::string text = ReadHex(in);
  std::int64_t begin = 0;
  std::int64_t end = 0;
  try {
    if (begin_text.empty() || end_text.empty()) {
      const auto range = IntelHex::DataRange(text);
      if (!range) throw Failure{kBadInput, in + " holds no data. Nothing was written."};
      begin = range->lowest;
      end = range->highest + 1;
    }
    if (!begin_text.empty()) begin = ParseAddress(begin_text, "--begin");
    if (!end_text.empty()) end = ParseAddress(end_text, "--end");
    if (end <= begin) throw Failure{kUsage, "--end must lie above --begin."};
    if (end > INT32_MAX) {
      throw Failure{kBadInput, in + " holds data above 0x7FFFFFFF; give --begin and --end."};
    }
    IntelHex hex;
    hex.AddresBegin(static_cast<std::int32_t>(begin));
    hex.AddressEnd(static_cast<std::int32_t>(end));
    const auto image = hex.Hex2Bin(text);
    WriteOutput(out, image);
    io.out << "Wrote " << out << " (" << image.size() << " bytes, addresses 0x" << std::hex << begin
           << " to 0x" << end - 1 << std::dec << ")" << std::endl;
  } catch (const HexError& e) {
    throw Failure{kBadInput, in + ": " + e.what() + ". Nothing was written."};
  }
  return kOk;
}

int Bin2Hex(const std::string& in, const std::string& out, Io io) {
  const auto image = ReadBinary(in);
  const std::string text = IntelHex{}.Bin2Hex(image);
  WriteOutput(out, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  io.out << "Wrote " << out << " (" << text.size() << " characters for " << image.size()
         << " bytes)" << std::endl;
  return kOk;
}

SimulatedDevice* running_device = nullptr;
void StopDevice(int) {
  if (running_device) running_device->RequestStop();
}

int Simulate(const SimulatorOptions& options, Io io) {
  std::optional<SimulatedDevice> device;
  try {
    device.emplace(options, [&io](const std::string& line) { io.err << line << std::endl; });
  } catch (const std::exception& e) {
    throw Failure{kPort, std::string("Cannot offer a simulated device: ") + e.what() + "."};
  }
  io.out << "Simulated device ready on COM" << int{device->port()} << " (" << device->pty_path()
         << "); update it with: pelkar1 update --port " << int{device->port()} << " IMAGE.bin"
         << std::endl;
  running_device = &*device;
  auto old_int = std::signal(SIGINT, StopDevice);
  auto old_term = std::signal(SIGTERM, StopDevice);
  device->Run();
  std::signal(SIGINT, old_int);
  std::signal(SIGTERM, old_term);
  running_device = nullptr;
  return kOk;
}

}  // namespace

int Run(const std::vector<std::string>& args, Io io) {
  CLI::App app{"pelkar1 - firmware update tool for Pelkar devices", "pelkar1"};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Show the help of every command");

  bool json = false;
  auto* ports = app.add_subcommand("ports", "List the serial ports and their COM numbers");
  ports->add_flag("--json", json, "Print a JSON array");

  UpdateRequest update;
  auto* up = app.add_subcommand("update", "Send an image to one or several devices");
  up->add_option("--port", update.ports,
                 "COM number (33), name (COM33, ttyUSB0) or path; "
                 "repeat to update several devices at once")
      ->required();
  up->add_option("IMAGE", update.image, "Image file (.bin) written by `pelkar1 encode`")
      ->required();
  up->add_option("--timeout", update.timeout_s,
                 "Seconds to wait for the awaited byte once the device has spoken")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  up->add_option("--hello-timeout", update.hello_timeout_s,
                 "Seconds to wait for the device's hello")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  up->add_flag("--json", update.json, "Print one JSON object a port on stdout at the end");
  up->add_flag("--quiet", update.quiet, "No progress, only the result lines");
  up->add_flag("--trace", update.trace, "Dump every byte on the wire with a time stamp");

  std::string hex_in;
  std::string out;
  auto* encode = app.add_subcommand("encode", "Turn an Intel HEX build into an image file");
  encode->add_option("FIRMWARE", hex_in, "Intel HEX file")->required();
  encode->add_option("-o,--output", out, "Image file to write (default: beside it, .bin)");

  std::string image;
  auto* info = app.add_subcommand("info", "Show an image file's size, blocks and checksum");
  info->add_option("IMAGE", image, "Image file")->required();
  info->add_flag("--json", json, "Print a JSON object");

  std::string begin;
  std::string end;
  auto* h2b = app.add_subcommand("hex2bin", "Convert Intel HEX to a binary image");
  h2b->add_option("IN", hex_in, "Intel HEX file")->required();
  h2b->add_option("OUT", out, "Binary file")->required();
  h2b->add_option("--begin", begin, "First address (default: the lowest address that holds data)");
  h2b->add_option("--end", end, "Address after the last (default: after the highest data)");

  std::string bin_in;
  auto* b2h = app.add_subcommand("bin2hex", "Convert a binary image to Intel HEX");
  b2h->add_option("IN", bin_in, "Binary file")->required();
  b2h->add_option("OUT", out, "Intel HEX file")->required();

  SimulatorOptions sim;
  int com = 0;
  int verdict = -1;
  std::size_t silent_after = 0;
  std::size_t hangup_after = 0;
  std::string save;
  auto* simulate = app.add_subcommand("simulate", "Offer a simulated device as a virtual port");
  simulate->add_option("--com", com, "COM number to offer (200-255; default: the first free)")
      ->check(CLI::Range(200, 255));
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
  simulate->add_option("--silent-after", silent_after, "Fall silent after K blocks");
  simulate->add_option("--hangup-after", hangup_after,
                       "Make the port vanish after K blocks, as an unplugged adapter");
  simulate->add_option("--verdict", verdict, "Answer this byte instead of 14 or 15")
      ->check(CLI::Range(0, 255));
  simulate->add_option("--save", save, "Keep the received image in this file");

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

  try {
    if (*ports) return Ports(json, io);
    if (*up) return RunUpdate(update, io);
    if (*encode) return Encode(hex_in, out, io);
    if (*info) return Info(image, json, io);
    if (*h2b) return Hex2Bin(hex_in, out, begin, end, io);
    if (*b2h) return Bin2Hex(bin_in, out, io);
    if (*simulate) {
      if (com != 0) sim.com = static_cast<std::uint8_t>(com);
      if (verdict >= 0) sim.device.verdict = static_cast<std::uint8_t>(verdict);
      if (simulate->count("--silent-after") > 0) sim.device.silent_after = silent_after;
      if (simulate->count("--hangup-after") > 0) sim.hangup_after = hangup_after;
      if (!save.empty()) sim.save = save;
      return Simulate(sim, io);
    }
  } catch (const Failure& f) {
    io.err << f.message << std::endl;
    return f.status;
  }
  return kUsage;
}

}  // namespace pelkar::cli
