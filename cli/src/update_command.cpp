#include "update_command.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "firmware/crc.h"
#include "firmware/files.h"
#include "firmware/image.h"
#include "firmware/update_exchange.h"
#include "output.h"
#include "port_argument.h"
#include "serial/serial_comm.h"
#include "signals.h"

namespace pelkar::cli {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int32_t kBaudRate = 115200;  // the boot loader's fixed line speed

// Raised by Ctrl-C, a kill, a closed terminal or console: ends every wait for the ports.
WaitInterrupt& Interrupt() {
  static WaitInterrupt interrupt;
  return interrupt;
}

enum class Result {
  Running,
  Ok,
  Failed,
  Timeout,
  PortLost,
  CannotOpen,
  ProtocolError,
  Interrupted
};

const char* Name(Result r) {
  switch (r) {
    case Result::Ok:
      return "ok";
    case Result::Failed:
      return "failed";
    case Result::Timeout:
      return "timeout";
    case Result::PortLost:
      return "port-lost";
    case Result::CannotOpen:
      return "cannot-open";
    case Result::ProtocolError:
      return "protocol-error";
    case Result::Interrupted:
      return "interrupted";
    case Result::Running:
      break;
  }
  return "running";
}

int ExitFor(Result r) {
  switch (r) {
    case Result::Ok:
      return kOk;
    case Result::Failed:
      return kUpdateFailed;
    case Result::Timeout:
      return kTimeout;
    case Result::PortLost:
    case Result::CannotOpen:
      return kPort;
    case Result::ProtocolError:
      return kProtocol;
    case Result::Interrupted:
    case Result::Running:
      return kInterrupted;
  }
  return kInterrupted;
}

std::string Hex2(std::uint8_t b) {
  char s[4];
  std::snprintf(s, sizeof s, "%02X", b);
  return s;
}

struct Device {
  PortArgument port;
  SerialComm serial;
  std::unique_ptr<UpdateExchange> exchange;
  Result result = Result::Running;
  std::string message;  // the one line told at the end
  Clock::time_point started;
  Clock::time_point last_progress;  // the last byte the exchange took: noise does not count
  bool heard = false;               // the device has spoken
  double seconds = 0;
  std::size_t last_reported = SIZE_MAX;
};

class Updater {
 public:
  Updater(const UpdateRequest& request, const FirmwareImage& image, Io io)
      : request_(request), image_(image), io_(io), start_(Clock::now()) {}

  int Run(const std::vector<std::optional<PortArgument>>& ports) {
    for (std::size_t i = 0; i < ports.size(); ++i)
      Open(request_.ports[i], ports[i]);
    if (!request_.quiet && std::any_of(devices_.begin(), devices_.end(), [](const auto& d) {
          return d->result == Result::Running;
        })) {
      io_.err << "Waiting for the device (reset it now)..." << std::endl;
    }
    Loop();
    return Finish();
  }

 private:
  void Open(const std::string& text, const std::optional<PortArgument>& port) {
    auto d = std::make_unique<Device>();
    d->exchange = std::make_unique<UpdateExchange>(image_.bytes, image_.crc);
    d->started = d->last_progress = Clock::now();
    if (!port) {
      d->port = {text, ""};
      d->exchange->Start(false);
      End(*d, Result::CannotOpen,
          "Can't open port: " + Printable(text) +
              " is not a port of this machine. List the ports with `pelkar1 ports`.");
    } else {
      d->port = *port;
      const bool open = d->serial.OpenPath(port->path, kBaudRate);
      d->exchange->Start(open);
      if (!open) {
        End(*d, Result::CannotOpen,
            "Can't open port: " + d->serial.LastError() +
                (d->serial.LastErrno() == ENOENT ? ". Check the cable, or list the ports with "
                                                   "`pelkar1 ports`."
                                                 : ""));
      }
    }
    devices_.push_back(std::move(d));
  }

  void Loop() {
    std::vector<SerialComm*> ports;
    std::vector<Device*> owners;
    for (;;) {
      ports.clear();
      owners.clear();
      auto wake = Clock::time_point::max();
      for (auto& d : devices_) {
        if (d->result != Result::Running) continue;
        ports.push_back(&d->serial);
        owners.push_back(d.get());
        wake = std::min(wake, Deadline(*d));
      }
      if (owners.empty()) return;
      if (SerialComm::WaitForPorts(ports, wake, &Interrupt()) == WaitResult::kInterrupted) {
        for (auto* d : owners) {
          d->exchange->Stop();
          End(*d, Result::Interrupted, "Interrupted; the port is closed. Run the update again.");
        }
        return;
      }
      for (auto* d : owners)
        Serve(*d);
    }
  }

  Clock::time_point Deadline(const Device& d) const {
    if (!d.heard) {
      return d.started + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(request_.hello_timeout_s));
    }
    return d.last_progress + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(request_.timeout_s));
  }

  void Serve(Device& d) {
    UpdateExchange& x = *d.exchange;
    {
      std::uint8_t buf[4096];
      const std::size_t n = d.serial.ReadAvailable(buf);
      if (n > 0) d.heard = true;
      for (std::size_t i = 0; i < n && x.running(); ++i) {
        if (request_.trace) Trace(d, "<", buf[i]);
        const auto answer = x.Feed(buf[i]);
        if (answer.empty()) continue;  // dropped: a chattering device cannot hold the time open
        d.last_progress = Clock::now();
        if (request_.trace) TraceOut(d, answer);
        if (!d.serial.WritePort(answer)) break;
      }
      Progress(d);
    }
    if (!x.running()) {
      Concluded(d);
    } else if (d.serial.PortLost()) {
      x.Stop();
      End(d, Result::PortLost,
          "The port was lost during the update (" + std::to_string(x.blocks_sent()) + " of " +
              std::to_string(x.block_count()) +
              " blocks sent). Check the cable and the adapter, then run the update again.");
    } else if (Clock::now() >= Deadline(d)) {
      const std::string what(x.awaited_what());
      x.Stop();
      End(d, Result::Timeout,
          d.heard ? "Timed out waiting for " + what + " (" + Seconds(request_.timeout_s) +
                        " without progress; " + std::to_string(x.blocks_sent()) + " of " +
                        std::to_string(x.block_count()) +
                        " blocks sent). Reset the device and run the update again."
                  : "No answer from the device within " + Seconds(request_.hello_timeout_s) +
                        ". Check the cable and the port, reset the device and run the update "
                        "again.");
    }
  }

  static std::string Seconds(double s) {
    std::ostringstream o;
    o << s << " s";
    return o.str();
  }

  void Concluded(Device& d) {
    const UpdateExchange& x = *d.exchange;
    const std::string text = x.message() ? x.message()->text : "";
    switch (x.outcome()) {
      case ExchangeOutcome::UpdateOk:
        End(d, Result::Ok, text);
        break;
      case ExchangeOutcome::UpdateFailed:
        End(d, Result::Failed,
            text +
                ": the device refused the image. Check the image and run "
                "the update again.");
        break;
      case ExchangeOutcome::IllegalCommand:
        End(d, Result::ProtocolError,
            text + ": the device's first byte was 0x" + Hex2(x.final_byte().value_or(0)) +
                ", not its hello (0x0A). Check that the port leads to the device's boot loader.");
        break;
      default:
        End(d, Result::ProtocolError,
            text +
                ". The device may run another boot loader version; do not use it until the "
                "update has succeeded.");
        break;
    }
  }

  void End(Device& d, Result r, const std::string& message) {
    d.result = r;
    d.message = message;
    d.seconds = std::chrono::duration<double>(Clock::now() - d.started).count();
    d.serial.ClosePort();
    if (!request_.quiet && !request_.json) {
      if (bar_drawn_) io_.err << "\n";
      bar_drawn_ = false;
    }
    if (request_.json) return;
    std::ostringstream line;
    line << Printable(d.port.label);
    if (d.port.label != d.port.path && !d.port.path.empty()) {
      line << " (" << Printable(d.port.path) << ")";
    }
    line << ": " << message;
    if (r == Result::Ok) {
      line.precision(2);
      line << std::fixed << " (" << d.exchange->image_size() << " bytes in " << d.seconds << " s)";
    }
    (r == Result::Ok ? io_.out : io_.err) << line.str() << std::endl;
  }

  void Progress(Device& d) {
    if (request_.quiet || request_.json) return;
    const UpdateExchange& x = *d.exchange;
    const std::size_t blocks = x.blocks_sent();
    if (blocks == d.last_reported) return;
    d.last_reported = blocks;
    const std::size_t total = x.block_count();
    const int percent = static_cast<int>(100 * blocks / total);
    if (!io_.err_is_terminal) {
      // Plain lines for logs: every tenth of the way.
      if (blocks > 0 && (blocks * 10 / total) != ((blocks - 1) * 10 / total)) {
        io_.err << d.port.label << ": " << percent << "% (" << blocks << "/" << total << " blocks)"
                << std::endl;
      }
      return;
    }
    std::ostringstream bar;
    bar << "\r";
    for (const auto& other : devices_) {
      if (other->result != Result::Running && other.get() != &d) continue;
      const UpdateExchange& o = *other->exchange;
      const double elapsed = std::chrono::duration<double>(Clock::now() - other->started).count();
      const double rate = elapsed > 0 ? static_cast<double>(o.image_bytes_sent()) / elapsed : 0;
      const std::size_t left_bytes = o.image_size() - o.image_bytes_sent();
      const int width = devices_.size() == 1 ? 30 : 10;
      const int filled = static_cast<int>(width * o.blocks_sent() / o.block_count());
      bar << other->port.label << " [" << std::string(static_cast<std::size_t>(filled), '#')
          << std::string(static_cast<std::size_t>(width - filled), '-') << "] "
          << 100 * o.blocks_sent() / o.block_count() << "%";
      if (devices_.size() == 1) {
        bar.precision(1);
        bar << std::fixed << "  " << rate / 1024 << " KiB/s";
        if (rate > 0) bar << "  " << std::ceil(static_cast<double>(left_bytes) / rate) << " s left";
      }
      bar << "  ";
    }
    io_.err << bar.str() << std::flush;
    bar_drawn_ = true;
  }

  void Trace(const Device& d, const char* dir, std::uint8_t b) {
    io_.err << TraceStamp() << d.port.label << " " << dir << " " << Hex2(b) << "\n";
  }

  void TraceOut(const Device& d, std::span<const std::uint8_t> bytes) {
    std::string line = TraceStamp() + d.port.label + " >";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      // Appended piecewise: g++ 12 at -O2 warns falsely (-Wrestrict) on " " + std::string.
      line += ' ';
      line += Hex2(bytes[i]);
      if (i % 32 == 31 && i + 1 < bytes.size()) line.append("\n").append(24, ' ');
    }
    io_.err << line << "\n";
  }

  std::string TraceStamp() const {
    char s[32];
    std::snprintf(s, sizeof s, "[%12.6f] ",
                  std::chrono::duration<double>(Clock::now() - start_).count());
    return s;
  }

  int Finish() {
    int worst = kOk;
    for (const auto& d : devices_) {
      worst = std::max(worst, ExitFor(d->result));
      if (!request_.json) continue;
      const UpdateExchange& x = *d->exchange;
      const auto wire = CrcWireBytes(image_.crc);
      nlohmann::ordered_json j;
      j["port"] = d->port.label;
      j["path"] = d->port.path;
      j["result"] = Name(d->result);
      j["message"] = d->message;
      j["bytes_sent"] = x.bytes_sent();
      j["image_bytes_sent"] = x.image_bytes_sent();
      j["blocks"] = x.blocks_sent();
      j["blocks_total"] = x.block_count();
      j["image_crc"] = image_.crc;
      j["crc_bytes"] = std::vector<int>(wire.begin(), wire.end());
      j["seconds"] = std::round(d->seconds * 1000) / 1000;
      io_.out << DumpJson(j) << std::endl;
    }
    return worst;
  }

  const UpdateRequest& request_;
  const FirmwareImage& image_;
  Io io_;
  Clock::time_point start_;
  std::vector<std::unique_ptr<Device>> devices_;
  bool bar_drawn_ = false;
};

}  // namespace

namespace {

// A failure before any port is opened: one line, and with --json one object, so that a
// script always gets a record.
int Refuse(const UpdateRequest& request, Io io, int status, const char* result,
           const std::string& message) {
  if (request.json) {
    nlohmann::ordered_json j;
    j["port"] = nullptr;
    j["path"] = nullptr;
    j["result"] = result;
    j["message"] = message;
    io.out << DumpJson(j) << std::endl;
  }
  io.err << message << std::endl;
  return status;
}

}  // namespace

int RunUpdate(const UpdateRequest& request, Io io) {
  std::vector<std::optional<PortArgument>> ports;
  std::vector<std::pair<std::string, std::string>> seen;  // identity, as given
  try {
    for (const std::string& text : request.ports) {
      ports.push_back(ResolvePort(text));
      if (!ports.back()) continue;
      const std::string identity = DeviceIdentity(ports.back()->path);
      for (const auto& [other, given] : seen) {
        if (other == identity) {
          throw Failure{kUsage, "pelkar1 update: --port " + Printable(given) + " and --port " +
                                    Printable(text) + " name the same device; name it once."};
        }
      }
      seen.emplace_back(identity, text);
    }
  } catch (const Failure& f) {
    return Refuse(request, io, f.status, "usage-error", f.message);
  }
  FirmwareImage image;
  try {
    image = LoadImageFile(Utf8Path(request.image));
  } catch (const ImageFileError& e) {
    return Refuse(request, io, kBadInput, "bad-input",
                  std::string(e.what()) + " Choose an image written by `pelkar1 encode`.");
  }
  Interrupt().Clear();
  // A closed terminal, console or ssh session ends the update as Ctrl-C does: ports closed,
  // every result told.
  const InterruptOnSignals guard;
  return Updater(request, image, io).Run(ports);
}

void RequestInterrupt() noexcept {
  Interrupt().Raise();
}

}  // namespace pelkar::cli
