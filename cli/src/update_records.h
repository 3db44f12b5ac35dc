// What `pelkar1 update` says of a unit's end: the line a person reads, and the record (--json,
// --log) a script or a production log keeps.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/cli.h"
#include "firmware/update_session.h"
#include "firmware_input.h"
#include "port_argument.h"
#include "update_command.h"

namespace pelkar::cli {

// What every record of one run shares.
struct RecordContext {
  const UpdateRequest& request;
  const FirmwareInput& input;
  std::string host;
};

// The port a record is about.
struct RecordPort {
  const PortArgument& port;
  const nlohmann::ordered_json& adapter;  // null when the port is no known USB adapter
  std::size_t unit;                       // the unit's running number; 0 for none
};

// What happened and what to do, in one sentence or two; open_error for a port that did not open.
std::string DescribeEnd(const UpdateRequest& request, const UnitEnd& end,
                        const std::string& open_error);

nlohmann::ordered_json UnitRecord(const RecordContext& run, const RecordPort& port,
                                  const UnitEnd& end, const std::string& message, double seconds);

// A failure before any port is opened: one line, and with --json one object, so that a
// script always gets a record.
int Refuse(const UpdateRequest& request, Io io, int status, const char* result,
           const std::string& message);

}  // namespace pelkar::cli
