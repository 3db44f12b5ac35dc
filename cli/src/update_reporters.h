// What `pelkar1 update` tells of its ports: each reporter is handed the ports' events as values
// and says them one way (the result lines and the progress bar, --json, --log, --trace). The
// scheduler in update_command.cpp drives the ports and decides the exit status; reporters
// only tell.
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
#include "unit_log.h"
#include "update_command.h"

namespace pelkar::cli {

// A port as the reporters name it.
struct PortInfo {
  std::size_t index = 0;  // in the order the ports were given
  std::string label;      // "COM33", or the path
  std::string path;
};

// A unit's end (or a port's own failure) as every reporter is told it.
struct Ending {
  const UnitEnd& end;
  std::size_t unit;  // the unit's running number; 0 when end.unit is false
  const std::string& message;
  double seconds;
  const nlohmann::ordered_json& record;
};

// Units by result, for the summary.
using Tally = std::array<std::size_t, kUnitResults.size()>;

// Every call is a value from the scheduler; a reporter keeps whatever state of its own it
// needs and decides nothing.
class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual void Progress(const PortInfo&, const pelkar::Progress&) {}
  virtual void Ended(const PortInfo&, const Ending&) {}
  virtual void Notice(const PortInfo&, SessionNotice) {}
  // A line that belongs to no port's result: waiting, a port back, a slow latency timer.
  virtual void Note(const std::string&) {}
  virtual void Wire(const PortInfo&, const WireBytes&) {}
  virtual void Finished(const Tally&) {}
};

// The result lines, the progress (a live bar on a terminal, plain lines in logs), the notices
// and the summary; with --json only what is not a record, on stderr.
std::unique_ptr<Reporter> LineReporter(const UpdateRequest& request, Io io);
// --json: one object a port at the end, or with --repeat one a unit as it ends.
std::unique_ptr<Reporter> JsonReporter(const UpdateRequest& request, Io io);
// --log: every record appended to the log; a failure said once (the log keeps it: Error()).
std::unique_ptr<Reporter> LogReporter(UnitLog& log, Io io);
// --trace: every byte on the wire with a time stamp.
std::unique_ptr<Reporter> TraceReporter(Io io);

}  // namespace pelkar::cli
