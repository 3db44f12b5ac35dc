#include "update_command.h"

#include <algorithm>
#include <array>
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
#include "firmware_input.h"
#include "output.h"
#include "port_argument.h"
#include "serial/adapter.h"
#include "serial/serial_comm.h"
#include "signals.h"
#include "unit_log.h"

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
  nlohmann::ordered_json adapter;  // null when the port is no known USB adapter
  SerialComm serial;
  std::unique_ptr<UpdateExchange> exchange;
  bool serving = true;              // the port is open and waits for, or updates, a device
  Result result = Result::Running;  // without --repeat: the one update's ending
  std::size_t unit = 0;       // the unit in progress (with --repeat: once it asked for a block)
  Clock::time_point started;  // the port opened; with --repeat the unit's hello
  Clock::time_point waiting_since;  // with --repeat: since the last unit, for --hello-timeout
  Clock::time_point last_progress;  // the last byte the exchange took: noise does not count
  bool heard = false;               // the device has spoken (with --repeat: said hello)
  std::size_t last_reported = SIZE_MAX;
  std::optional<nlohmann::ordered_json> record;  // without --repeat: printed at the end
};

class Updater {
 public:
  Updater(const UpdateRequest& request, const FirmwareInput& input, UnitLog* log, Io io)
      : request_(request),
        input_(input),
        image_(input.image),
        log_(log),
        io_(io),
        host_(HostName()),
        start_(Clock::now()) {}

  int Run(const std::vector<std::optional<PortArgument>>& ports) {
    for (std::size_t i = 0; i < ports.size(); ++i)
      Open(request_.ports[i], ports[i]);
    const bool any =
        std::any_of(devices_.begin(), devices_.end(), [](const auto& d) { return d->serving; });
    if (!request_.quiet && any) {
      io_.err << (request_.repeat ? "Waiting for units (reset or plug in each; Ctrl-C ends)..."
                                  : "Waiting for the device (reset it now)...")
              << std::endl;
    }
    Loop();
    return Finish();
  }

 private:
  void Open(const std::string& text, const std::optional<PortArgument>& port) {
    auto d = std::make_unique<Device>();
    d->exchange = std::make_unique<UpdateExchange>(image_.bytes, image_.crc);
    d->started = d->last_progress = d->waiting_since = Clock::now();
    d->adapter = nullptr;
    if (!port) {
      d->port = {text, "", std::nullopt};
      d->exchange->Start(false);
      PortEnded(*d, Result::CannotOpen,
                "Can't open port: " + Printable(text) +
                    " is not a port of this machine. List the ports with `pelkar1 ports`.");
    } else {
      d->port = *port;
      d->adapter = AdapterJson(AdapterForDevice(port->path));
      const bool open = d->serial.OpenPath(port->path, kBaudRate);
      d->exchange->Start(open);
      if (!open) {
        PortEnded(*d, Result::CannotOpen,
                  "Can't open port: " + d->serial.LastError() +
                      (d->serial.LastErrno() == ENOENT ? ". Check the cable, or list the ports "
                                                         "with `pelkar1 ports`."
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
        if (!d->serving) continue;
        ports.push_back(&d->serial);
        owners.push_back(d.get());
        wake = std::min(wake, Deadline(*d));
      }
      if (owners.empty()) return;
      if (SerialComm::WaitForPorts(ports, wake, &Interrupt()) == WaitResult::kInterrupted) {
        for (auto* d : owners) {
          d->exchange->Stop();
          if (!request_.repeat || d->unit != 0) {
            UnitEnded(*d, Result::Interrupted,
                      "Interrupted; the port is closed. Run the update again.");
          }
          Close(*d);
        }
        return;
      }
      for (auto* d : owners) {
        if (d->serving) Serve(*d);
      }
    }
  }

  static Clock::duration Span(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

  Clock::time_point Deadline(const Device& d) const {
    if (!d.heard) {
      if (!request_.repeat) return d.started + Span(request_.hello_timeout_s);
      return request_.hello_timeout_given ? d.waiting_since + Span(request_.hello_timeout_s)
                                          : Clock::time_point::max();
    }
    return d.last_progress + Span(request_.timeout_s);
  }

  // With --repeat: the port waits for the next unit's hello with a fresh exchange.
  void Rearm(Device& d) {
    d.exchange = std::make_unique<UpdateExchange>(image_.bytes, image_.crc);
    d.exchange->Start(true);
    d.unit = 0;
    d.heard = false;
    d.last_reported = SIZE_MAX;
    d.waiting_since = Clock::now();
  }

  bool CountReached() const { return request_.count && units_begun_ >= *request_.count; }

  // A unit asked for its first block: it counts. Once --count units have begun, ports that
  // wait for another stop.
  void BeginUnit(Device& d) {
    d.unit = ++units_begun_;
    if (!CountReached()) return;
    for (auto& other : devices_) {
      if (other->serving && other->unit == 0) Close(*other);
    }
  }

  void Serve(Device& d) {
    std::uint8_t buf[4096];
    const std::size_t n = d.serial.ReadAvailable(buf);
    if (n > 0 && !request_.repeat) d.heard = true;
    for (std::size_t i = 0; i < n && d.serving; ++i) {
      UpdateExchange* x = d.exchange.get();
      const std::uint8_t b = buf[i];
      if (request_.trace) Trace(d, "<", b);
      if (request_.repeat && d.unit == 0) {
        // Between units a device may print text: only a hello opens an exchange, and a new
        // hello before any block request means the last one was a line end of that text.
        if (b != wire::kDeviceHello && x->state() == ExchangeState::AwaitHello) continue;
        if (b == wire::kDeviceHello && x->state() == ExchangeState::AwaitBlockRequest) {
          Rearm(d);
          x = d.exchange.get();
        }
        if (b == wire::kDeviceHello) {
          d.heard = true;
          d.started = d.last_progress = Clock::now();
        }
      }
      const auto answer = x->Feed(b);
      if (!answer.empty()) {
        d.last_progress = Clock::now();
        if (request_.repeat && d.unit == 0 && x->blocks_sent() > 0) {
          if (CountReached()) {
            Close(d);
            break;
          }
          BeginUnit(d);
        }
        if (request_.trace) TraceOut(d, answer);
        if (!d.serial.WritePort(answer)) break;
      }
      // Dropped bytes do not move the time: a chattering device cannot hold it open.
      if (!x->running()) Concluded(d);
    }
    if (!d.serving) return;
    Progress(d);
    UpdateExchange& x = *d.exchange;
    if (d.serial.PortLost()) {
      x.Stop();
      const std::string sent = " (" + std::to_string(x.blocks_sent()) + " of " +
                               std::to_string(x.block_count()) + " blocks sent)";
      if (request_.repeat && d.unit == 0) {
        PortEnded(d, Result::PortLost,
                  "The port was lost between units. Check the cable and the adapter.");
      } else {
        UnitEnded(d, Result::PortLost,
                  "The port was lost during the update" + sent +
                      ". Check the cable and the adapter, then run the update again.");
      }
      Close(d);
    } else if (Clock::now() >= Deadline(d)) {
      TimedOut(d);
    }
  }

  void TimedOut(Device& d) {
    UpdateExchange& x = *d.exchange;
    if (request_.repeat && !d.heard) {
      if (!request_.quiet) {
        io_.err << Printable(d.port.label) << ": no unit within "
                << Seconds(request_.hello_timeout_s) << "; the port is closed." << std::endl;
      }
      Close(d);
      return;
    }
    if (request_.repeat && d.unit == 0) {
      if (!request_.quiet) {
        io_.err << Printable(d.port.label) << ": a hello with no block request within "
                << Seconds(request_.timeout_s) << ": taken as text, not as a unit." << std::endl;
      }
      Rearm(d);
      return;
    }
    const std::string what(x.awaited_what());
    x.Stop();
    UnitEnded(d, Result::Timeout,
              d.heard ? "Timed out waiting for " + what + " (" + Seconds(request_.timeout_s) +
                            " without progress; " + std::to_string(x.blocks_sent()) + " of " +
                            std::to_string(x.block_count()) +
                            " blocks sent). Reset the device and run the update again."
                      : "No answer from the device within " + Seconds(request_.hello_timeout_s) +
                            ". Check the cable and the port, reset the device and run the update "
                            "again.");
    if (request_.repeat) {
      NextOrStop(d);
    } else {
      Close(d);
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
        UnitEnded(d, Result::Ok, text);
        break;
      case ExchangeOutcome::UpdateFailed:
        UnitEnded(d, Result::Failed,
                  text +
                      ": the device refused the image. Check the image and run "
                      "the update again.");
        break;
      case ExchangeOutcome::IllegalCommand:
        UnitEnded(d, Result::ProtocolError,
                  text + ": the device's first byte was 0x" + Hex2(x.final_byte().value_or(0)) +
                      ", not its hello (0x0A). Check that the port leads to the device's boot "
                      "loader.");
        break;
      default:
        UnitEnded(d, Result::ProtocolError,
                  text +
                      ". The device may run another boot loader version; do not use it until the "
                      "update has succeeded.");
        break;
    }
    if (request_.repeat) {
      NextOrStop(d);
    } else {
      Close(d);
    }
  }

  void NextOrStop(Device& d) {
    if (CountReached()) {
      Close(d);
    } else {
      Rearm(d);
    }
  }

  void Close(Device& d) {
    d.serving = false;
    d.serial.ClosePort();
  }

  nlohmann::ordered_json Record(const Device& d, Result r, const std::string& message,
                                double seconds) const {
    const UpdateExchange& x = *d.exchange;
    const auto wire = CrcWireBytes(image_.crc);
    nlohmann::ordered_json j;
    j["time"] = UtcTimestamp(std::chrono::system_clock::now());
    j["host"] = host_;
    j["unit"] = d.unit == 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(d.unit);
    j["port"] = d.port.number ? nlohmann::ordered_json(*d.port.number) : nullptr;
    j["path"] =
        d.port.path.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(d.port.path);
    j["adapter"] = d.adapter;
    j["file"] = request_.image;
    j["file_sha256"] = input_.file_sha256;
    j["image_size"] = image_.bytes.size();
    j["image_sha256"] = input_.image_sha256;
    j["image_crc"] = image_.crc;
    j["crc_bytes"] = std::vector<int>(wire.begin(), wire.end());
    j["result"] = Name(r);
    j["message"] = message;
    j["seconds"] = std::round(seconds * 1000) / 1000;
    j["blocks"] = x.blocks_sent();
    j["blocks_total"] = x.block_count();
    j["bytes_sent"] = x.bytes_sent();
    j["image_bytes_sent"] = x.image_bytes_sent();
    return j;
  }

  // The end of a unit's update (without --repeat: of the port's one update).
  void UnitEnded(Device& d, Result r, const std::string& message) {
    if (!request_.repeat) {
      d.result = r;
      d.unit = ++units_begun_;
    }
    ++ended_[static_cast<std::size_t>(r)];
    worst_ = std::max(worst_, ExitFor(r));
    Tell(d, r, message, true);
  }

  // The port fails on its own, with no unit on it: it cannot be opened, or it went between
  // units.
  void PortEnded(Device& d, Result r, const std::string& message) {
    if (!request_.repeat) {
      UnitEnded(d, r, message);
    } else {
      worst_ = std::max(worst_, ExitFor(r));
      Tell(d, r, message, false);
    }
    Close(d);
  }

  void Tell(Device& d, Result r, const std::string& message, bool unit) {
    const double seconds = std::chrono::duration<double>(Clock::now() - d.started).count();
    const auto record = Record(d, r, message, seconds);
    if (log_ != nullptr && !log_->Append(DumpJson(record))) {
      if (!log_failed_) io_.err << log_->Error() << "; the units are not logged." << std::endl;
      log_failed_ = true;
    }
    if (!request_.quiet && !request_.json) {
      if (bar_drawn_) io_.err << "\n";
      bar_drawn_ = false;
    }
    if (request_.json) {
      if (request_.repeat) {
        io_.out << DumpJson(record) << std::endl;
      } else {
        d.record = record;
      }
      return;
    }
    std::ostringstream line;
    if (request_.repeat && unit) line << "#" << d.unit << " ";
    line << Printable(d.port.label);
    if (d.port.label != d.port.path && !d.port.path.empty()) {
      line << " (" << Printable(d.port.path) << ")";
    }
    line << ": " << message;
    line.precision(2);
    line << std::fixed;
    if (r == Result::Ok) {
      line << " (" << d.exchange->image_size() << " bytes in " << seconds << " s)";
    } else if (request_.repeat && unit) {
      line << " (" << seconds << " s)";
    }
    // With --repeat every unit's line is the run's record on stdout.
    (r == Result::Ok || (request_.repeat && unit) ? io_.out : io_.err) << line.str() << std::endl;
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
      if (!other->serving && other.get() != &d) continue;
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
    if (request_.json && !request_.repeat) {
      for (const auto& d : devices_) {
        if (d->record) io_.out << DumpJson(*d->record) << std::endl;
      }
    }
    if (request_.repeat) {
      std::size_t units = 0;
      for (const std::size_t n : ended_)
        units += n;
      const std::size_t ok = ended_[static_cast<std::size_t>(Result::Ok)];
      const std::size_t interrupted = ended_[static_cast<std::size_t>(Result::Interrupted)];
      std::ostringstream summary;
      summary << units << (units == 1 ? " unit: " : " units: ") << ok << " OK, "
              << units - ok - interrupted << " failed";
      if (interrupted > 0) summary << ", " << interrupted << " interrupted";
      (request_.json ? io_.err : io_.out) << summary.str() << std::endl;
    }
    if (log_failed_) worst_ = std::max(worst_, static_cast<int>(kBadInput));
    return worst_;
  }

  const UpdateRequest& request_;
  const FirmwareInput& input_;
  const FirmwareImage& image_;
  UnitLog* log_;
  Io io_;
  std::string host_;
  Clock::time_point start_;
  std::vector<std::unique_ptr<Device>> devices_;
  std::size_t units_begun_ = 0;
  std::array<std::size_t, 8> ended_{};  // units by result
  int worst_ = kOk;
  bool bar_drawn_ = false;
  bool log_failed_ = false;
};

}  // namespace

const char* const kRepeatRule =
    "With --repeat each port serves unit after unit until Ctrl-C or --count: after a result it "
    "waits for the next unit's hello (no time-out unless --hello-timeout is given). Text a unit "
    "prints between updates is ignored; a hello (0x0A, also a line end) that is not followed by "
    "a block request within --timeout is taken as text, and a second hello before any block "
    "request starts over. Only a unit that asked for a block counts.";

namespace {

// A failure before any port is opened: one line, and with --json one object, so that a
// script always gets a record.
int Refuse(const UpdateRequest& request, Io io, int status, const char* result,
           const std::string& message) {
  if (request.json) {
    nlohmann::ordered_json j;
    j["time"] = UtcTimestamp(std::chrono::system_clock::now());
    j["host"] = HostName();
    j["unit"] = nullptr;
    j["port"] = nullptr;
    j["path"] = nullptr;
    j["file"] = request.image;
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
  // The image, and the log, are ready before any port opens.
  FirmwareInput input;
  std::optional<UnitLog> log;
  try {
    input = LoadFirmware(request.image);
    const std::filesystem::path reads[] = {Utf8Path(request.image)};
    if (!request.log.empty()) log.emplace(request.log, reads);
  } catch (const Failure& f) {
    return Refuse(request, io, f.status, f.status == kUsage ? "usage-error" : "bad-input",
                  f.message + " Nothing was sent.");
  }
  if (input.from_hex) {
    (request.json ? io.err : io.out)
        << "Encoded " << Printable(request.image) << ": " << input.image.bytes.size()
        << " bytes, image checksum " << input.image.crc << std::endl;
  }
  Interrupt().Clear();
  // A closed terminal, console or ssh session ends the update as Ctrl-C does: ports closed,
  // every result told.
  const InterruptOnSignals guard;
  return Updater(request, input, log ? &*log : nullptr, io).Run(ports);
}

void RequestInterrupt() noexcept {
  Interrupt().Raise();
}

}  // namespace pelkar::cli
