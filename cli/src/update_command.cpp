#include "update_command.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "files/files.h"
#include "firmware/image.h"
#include "firmware/update_session.h"
#include "firmware_input.h"
#include "output.h"
#include "port_argument.h"
#include "serial/adapter.h"
#include "serial/network_channel.h"
#include "serial/port_channel.h"
#include "serial/session_driver.h"
#include "signals.h"
#include "unit_log.h"
#include "update_records.h"
#include "update_reporters.h"

namespace pelkar::cli {
namespace {

using Clock = SessionClock;

// Raised by Ctrl-C, a kill, a closed terminal or console: ends every wait for the ports.
WaitInterrupt& Interrupt() {
  static WaitInterrupt interrupt;
  return interrupt;
}

// The exit status of a result; the run's status is the worst of all.
int ExitFor(UnitResult r) {
  return UnitResultOf(r).exit_status;
}
static_assert(UnitResultOf(UnitResult::Ok).exit_status == kOk &&
              UnitResultOf(UnitResult::Failed).exit_status == kUpdateFailed &&
              UnitResultOf(UnitResult::Timeout).exit_status == kTimeout &&
              UnitResultOf(UnitResult::PortLost).exit_status == kPort &&
              UnitResultOf(UnitResult::ProtocolError).exit_status == kProtocol &&
              UnitResultOf(UnitResult::Interrupted).exit_status == kInterrupted);

constexpr auto kReturnLook = std::chrono::milliseconds(500);

Clock::duration Span(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Each --port is in one state, and moves only as this table says (Updater::Settle and
// Updater::LookForReturns carry it out):
//
//   opening   -> serving     the port opened: a session serves it
//   opening   -> done        it did not (told as cannot-open)
//   serving   -> returning   lost, with --repeat, before the count is reached
//   serving   -> done        its session ended (a result without --repeat, the count reached,
//                            no unit within --hello-timeout, interrupted, lost otherwise)
//   returning -> serving     its device is back and opens
//   returning -> done        the count reached, --hello-timeout passed, or interrupted
enum class PortState { kOpening, kServing, kReturning, kDone };

struct Port {
  PortState state = PortState::kOpening;
  std::size_t index = 0;
  std::string text;  // the --port value, to find the port again when it comes back
  PortArgument port;
  nlohmann::ordered_json adapter;  // null when the port is no known USB adapter
  std::string open_error;          // why the port did not open
  std::unique_ptr<PortChannel> channel;
  std::unique_ptr<UpdateSession> session;
  std::unique_ptr<SessionDriver> driver;
  std::size_t unit = 0;  // the unit's running number, once it has one
  bool lost = false;     // its session ended with the port lost
  Clock::time_point gone_since{};

  PortInfo Info() const { return {index, port.label, port.path}; }
};

// Schedules every port's driver from one wait, hands what their sessions tell to the
// reporters, and decides the count, the unit numbers, the returns and the exit status.
class Updater {
 public:
  Updater(const UpdateRequest& request, const FirmwareInput& input, UnitLog* log, Io io,
          const PortBackend& backend)
      : request_(request),
        input_(input),
        image_(input.image),
        log_(log),
        backend_(backend),
        records_{request, input, HostName()} {
    reporters_.push_back(LineReporter(request, io));
    if (request.json) reporters_.push_back(JsonReporter(request, io));
    if (log) reporters_.push_back(LogReporter(*log, io));
    if (request.trace) reporters_.push_back(TraceReporter(io));
    rules_.repeat = request.repeat;
    rules_.byte_timeout = Span(request.timeout_s);
    if (!request.repeat || request.hello_timeout_given) {
      rules_.hello_timeout = Span(request.hello_timeout_s);
    }
  }

  int Run(const std::vector<std::optional<PortArgument>>& ports) {
    for (std::size_t i = 0; i < ports.size(); ++i)
      Open(i, ports[i]);
    if (Any(PortState::kServing)) {
      Note(request_.repeat ? "Waiting for units (reset or plug in each; Ctrl-C ends)..."
                           : "Waiting for the device (reset it now)...");
    }
    Loop();
    return Finish();
  }

 private:
  bool Any(PortState state) const {
    return std::any_of(ports_.begin(), ports_.end(),
                       [=](const auto& p) { return p->state == state; });
  }

  void Open(std::size_t index, const std::optional<PortArgument>& argument) {
    ports_.push_back(std::make_unique<Port>());
    Port& port = *ports_.back();
    port.index = index;
    port.text = request_.ports[index];
    if (argument) {
      port.port = *argument;
      port.adapter = AdapterJson(AdapterForDevice(port.port.path));
      port.channel = backend_.open(port.port, &port.open_error);
    } else {
      port.port = {port.text, "", std::nullopt};
      port.open_error = "Can't open port: " + Printable(port.text) +
                        " is not a port of this machine. List the ports with `pelkar1 ports`.";
    }
    Serve(port);
    if (!port.channel) return;
    if (auto advice = LatencyAdvice(port.port.path, image_.bytes.size() / kBlockSize)) {
      Note(*advice);
    }
  }

  // A fresh session on the port: serving when its channel is open, else told and done.
  void Serve(Port& port) {
    port.driver.reset();
    port.lost = false;
    port.session = std::make_unique<UpdateSession>(image_.bytes, image_.crc, rules_);
    port.state = PortState::kServing;
    Take(port, port.session->Start(Clock::now(), port.channel != nullptr).events);
    if (port.channel) {
      port.driver = std::make_unique<SessionDriver>(*port.channel, *port.session, request_.trace);
    }
    Settle(port);
  }

  void Note(const std::string& line) {
    for (auto& r : reporters_)
      r->Note(line);
  }

  // What a port's session told, to the reporters; the count and the results are kept here.
  void Take(Port& p, const std::vector<SessionEvent>& events) {
    for (const SessionEvent& event : events) {
      if (const auto* progress = std::get_if<Progress>(&event)) {
        for (auto& r : reporters_)
          r->Progress(p.Info(), *progress);
      } else if (std::holds_alternative<UnitBegun>(event)) {
        Begun(p);
      } else if (const auto* end = std::get_if<UnitEnd>(&event)) {
        Ended(p, *end);
      } else if (const auto* notice = std::get_if<SessionNotice>(&event)) {
        for (auto& r : reporters_)
          r->Notice(p.Info(), *notice);
      } else if (const auto* wire = std::get_if<WireBytes>(&event)) {
        for (auto& r : reporters_)
          r->Wire(p.Info(), *wire);
      }
    }
  }

  bool CountReached() const { return request_.count && units_begun_ >= *request_.count; }

  void Begun(Port& p) {
    p.unit = ++units_begun_;
    if (!CountReached()) return;
    // No unit begins once --count have: units in progress end, every other port is done.
    for (auto& other : ports_) {
      if (other->state == PortState::kServing) other->session->Retire();
      if (other->state == PortState::kReturning) other->state = PortState::kDone;
    }
  }

  void Ended(Port& p, const UnitEnd& end) {
    if (!request_.repeat) p.unit = ++units_begun_;
    if (end.unit) ++ended_[static_cast<std::size_t>(end.result)];
    p.lost = end.result == UnitResult::PortLost;
    // Lost between units harms no unit: it fails the run only when the port never comes back.
    if (!(request_.repeat && p.lost) || end.unit) worst_ = std::max(worst_, ExitFor(end.result));
    const std::string message = DescribeEnd(request_, end, p.open_error);
    const double seconds = std::chrono::duration<double>(end.elapsed).count();
    const auto record =
        UnitRecord(records_, {p.port, p.adapter, end.unit ? p.unit : 0}, end, message, seconds);
    const Ending ending{end, end.unit ? p.unit : 0, message, seconds, record};
    for (auto& r : reporters_)
      r->Ended(p.Info(), ending);
  }

  // A serving port whose session is done: closed, then returning or done.
  void Settle(Port& p) {
    if (p.state != PortState::kServing || !p.session->done()) return;
    if (p.channel) p.channel->Close();
    p.channel.reset();
    p.driver.reset();
    if (request_.repeat && p.lost && !CountReached()) {
      p.state = PortState::kReturning;
      p.gone_since = Clock::now();
      Note(Printable(p.port.label) + ": waiting for the port to come back (Ctrl-C ends).");
    } else {
      p.state = PortState::kDone;
    }
  }

  // A lost port is looked for again: the same by-id link or adapter serial number, or the
  // same path or COM number, once its device is there and opens.
  void LookForReturns(Clock::time_point now) {
    for (auto& p : ports_) {
      if (p->state != PortState::kReturning) continue;
      if (request_.hello_timeout_given && now - p->gone_since >= Span(request_.hello_timeout_s)) {
        p->state = PortState::kDone;
        worst_ = std::max(worst_, ExitFor(UnitResult::PortLost));
        for (auto& r : reporters_)
          r->Notice(p->Info(), SessionNotice::NoUnit);
        continue;
      }
      const std::optional<PortArgument> again = backend_.find(p->text);
      if (!again) continue;
      std::string why;
      auto channel = backend_.open(*again, &why);
      if (!channel) continue;  // still settling (permissions, another program): try again
      p->port = *again;
      p->channel = std::move(channel);
      Note(Printable(p->port.label) + ": the port is back; waiting for units.");
      Serve(*p);
    }
  }

  void Loop() {
    std::vector<PortChannel*> channels;
    std::vector<Port*> serving;
    for (;;) {
      for (auto& p : ports_)
        Settle(*p);  // a session retired by another port's count ends here
      channels.clear();
      serving.clear();
      auto wake = Clock::time_point::max();
      for (auto& p : ports_) {
        if (p->state != PortState::kServing) continue;
        channels.push_back(p->channel.get());
        serving.push_back(p.get());
        wake = std::min(wake, p->driver->deadline());
      }
      const bool returning = Any(PortState::kReturning);
      if (serving.empty() && !returning) return;
      // No system here tells of a device's return without more machinery than a look twice a
      // second costs.
      if (returning) wake = std::min(wake, Clock::now() + kReturnLook);
      if (backend_.wait(channels, wake) == WaitResult::kInterrupted) {
        for (Port* p : serving) {
          Take(*p, p->session->Stop(Clock::now(), UnitResult::Interrupted).events);
          Settle(*p);
        }
        return;
      }
      for (Port* p : serving) {
        Take(*p, p->driver->Service());
        Settle(*p);
      }
      if (returning) LookForReturns(Clock::now());
    }
  }

  int Finish() {
    for (auto& r : reporters_)
      r->Finished(ended_);
    if (Any(PortState::kReturning)) worst_ = std::max(worst_, ExitFor(UnitResult::PortLost));
    if (log_ && !log_->Error().empty()) worst_ = std::max(worst_, static_cast<int>(kBadInput));
    return worst_;
  }

  const UpdateRequest& request_;
  const FirmwareInput& input_;
  const FirmwareImage& image_;
  UnitLog* log_;
  const PortBackend& backend_;
  SessionRules rules_;
  RecordContext records_;
  std::vector<std::unique_ptr<Port>> ports_;
  std::vector<std::unique_ptr<Reporter>> reporters_;
  std::size_t units_begun_ = 0;
  Tally ended_{};  // units by result
  int worst_ = kOk;
};

// The machine's serial ports and network serial servers, waited on together with the interrupt.
PortBackend SerialPorts() {
  PortBackend backend;
  backend.open = [](const PortArgument& port, std::string* why) -> std::unique_ptr<PortChannel> {
    std::string malformed;
    if (const auto url = LooksLikeNetworkUrl(port.path) ? ParseNetworkUrl(port.path, &malformed)
                                                        : std::nullopt) {
      auto network = std::make_unique<NetworkChannel>();
      if (network->OpenUrl(*url, &Interrupt())) return network;
      *why = "Can't open port: " + network->LastError();
      return nullptr;
    }
    auto channel = std::make_unique<SerialChannel>();
    if (channel->OpenPath(port.path, kBaudRate)) return channel;
    const SerialComm& comm = channel->comm();
    *why =
        "Can't open port: " + comm.LastError() +
        (comm.LastErrno() == ENOENT ? ". Check the cable, or list the ports with `pelkar1 ports`."
                                    : "");
    return nullptr;
  };
  backend.wait = [](std::span<PortChannel* const> channels, Clock::time_point deadline) {
    return WaitForChannels(channels, deadline, &Interrupt());
  };
  backend.find = [](const std::string& text) -> std::optional<PortArgument> {
    try {
      auto port = ResolvePort(text);
      // A server is always there to try: the reconnect is the open's.
      if (port && (LooksLikeNetworkUrl(port->path) || DeviceExists(port->path))) return port;
    } catch (const Failure&) {
    }
    return std::nullopt;
  };
  return backend;
}

}  // namespace

const char* const kRepeatRule =
    "With --repeat each port serves unit after unit until Ctrl-C or --count: after a result it "
    "waits for the next unit's hello (no time-out unless --hello-timeout is given). Text a unit "
    "prints between updates is ignored; a hello (0x0A, also a line end) that is not followed by "
    "a block request within --timeout is taken as text, and a second hello before any block "
    "request starts over. Only a unit that asked for a block counts.";

int RunUpdate(const UpdateRequest& request, Io io, const PortBackend* backend) {
  std::vector<std::optional<PortArgument>> ports;
  std::vector<std::pair<std::string, std::string>> seen;  // identity, as given
  try {
    for (const std::string& text : request.ports) {
      ports.push_back(ResolvePort(text));
      if (!ports.back()) continue;
      const std::string identity = PortIdentity(*ports.back());
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
  const PortBackend serial = backend ? PortBackend{} : SerialPorts();
  return Updater(request, input, log ? &*log : nullptr, io, backend ? *backend : serial).Run(ports);
}

void RequestInterrupt() noexcept {
  Interrupt().Raise();
}

}  // namespace pelkar::cli
