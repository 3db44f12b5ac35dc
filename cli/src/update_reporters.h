// What `pelkar1 update` tells of its ports: each reporter listens to the ports' events and says
// them one way (the result lines and the progress bar, --json, --log, --trace). The scheduler
// in update_command.cpp drives the ports and decides the exit status; reporters only tell.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "firmware/update_session.h"
#include "port_argument.h"
#include "serial/session_driver.h"
#include "unit_log.h"
#include "update_command.h"

namespace pelkar::cli {

struct Port;

// Where a port's session events go: the scheduler.
class PortEvents {
 public:
  virtual ~PortEvents() = default;
  virtual void Progress(Port& p) = 0;
  virtual void UnitBegun(Port& p) = 0;
  virtual void Ended(Port& p, const UnitEnd& end) = 0;
  virtual void Notice(Port& p, SessionNotice notice) = 0;
  virtual void Wire(const Port& p, const char* direction, std::span<const std::uint8_t> b) = 0;
};

// One --port: its channel, its session and driver, and what is told of it.
struct Port final : SessionListener, WireTap {
  PortEvents* owner = nullptr;
  PortArgument port;
  nlohmann::ordered_json adapter;  // null when the port is no known USB adapter
  std::unique_ptr<PortChannel> channel;
  std::string open_error;  // why the port did not open
  std::unique_ptr<UpdateSession> session;
  std::unique_ptr<SessionDriver> driver;
  std::string text;      // the --port value, to find the port again when it comes back
  std::size_t unit = 0;  // the unit's running number, once it has one
  // With --repeat, a port lost is looked for until it comes back; since when.
  std::optional<std::chrono::steady_clock::time_point> gone_since;

  bool serving() const { return !session->done(); }
  bool returning() const { return gone_since.has_value(); }
  void OnProgress(const UpdateSession&) override { owner->Progress(*this); }
  void OnUnitBegun(const UpdateSession&) override { owner->UnitBegun(*this); }
  void OnUnitEnded(const UpdateSession&, const UnitEnd& end) override { owner->Ended(*this, end); }
  void OnNotice(const UpdateSession&, SessionNotice n) override { owner->Notice(*this, n); }
  void Received(std::uint8_t byte) override { owner->Wire(*this, "<", {&byte, 1}); }
  void Sent(std::span<const std::uint8_t> bytes) override { owner->Wire(*this, ">", bytes); }
};

using Ports = std::vector<std::unique_ptr<Port>>;

// A unit's end (or a port's own failure) as every reporter is told it.
struct Ending {
  const UnitEnd& end;
  const std::string& message;
  double seconds;
  const nlohmann::ordered_json& record;
};

// Units by result, for the summary.
using Tally = std::array<std::size_t, 8>;

class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual void Progress(const Port&) {}
  virtual void Ended(const Port&, const Ending&) {}
  virtual void Notice(const Port&, SessionNotice) {}
  // A line that belongs to no port's result: waiting, a port back, a slow latency timer.
  virtual void Note(const std::string&) {}
  virtual void Wire(const Port&, const char*, std::span<const std::uint8_t>) {}
  virtual void Finished(const Tally&) {}
  // True when the reporter could not do its work (the log could not be written).
  virtual bool Failed() const { return false; }
};

// The result lines, the progress (a live bar on a terminal, plain lines in logs), the notices
// and the summary; with --json only what is not a record, on stderr.
std::unique_ptr<Reporter> LineReporter(const UpdateRequest& request, Io io, const Ports& ports);
// --json: one object a port at the end, or with --repeat one a unit as it ends.
std::unique_ptr<Reporter> JsonReporter(const UpdateRequest& request, Io io, const Ports& ports);
// --log: every record appended to the log; a failure said once.
std::unique_ptr<Reporter> LogReporter(UnitLog& log, Io io);
// --trace: every byte on the wire with a time stamp.
std::unique_ptr<Reporter> TraceReporter(Io io);

}  // namespace pelkar::cli
