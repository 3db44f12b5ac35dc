// `pelkar1 update`: one image to one or several devices at once, each port's session driven
// from one wait over them all; with --repeat, unit after unit on every port.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "firmware/update_session.h"
#include "port_argument.h"
#include "serial/port_channel.h"

namespace pelkar::cli {

struct UpdateRequest {
  std::vector<std::string> ports;
  std::string image;                 // an image file, or an Intel HEX build encoded in memory
  double timeout_s = 5;              // without the awaited byte, once the device has spoken
  double hello_timeout_s = 60;       // for the device's hello
  bool hello_timeout_given = false;  // with --repeat there is none unless given
  bool json = false;
  bool quiet = false;
  bool trace = false;
  bool repeat = false;               // unit after unit until Ctrl-C or count
  std::optional<std::size_t> count;  // units in all, over every port
  std::string log;                   // JSON Lines file appended per unit; "" for none
};

// How --repeat tells a unit from text a device prints between updates, for --help.
extern const char* const kRepeatRule;

// Where the update's ports come from: the machine's serial ports and network serial servers,
// or a test's channels.
struct PortBackend {
  // Opens the port at the line speed; on failure nothing, with *why the line that says so.
  std::function<std::unique_ptr<PortChannel>(const PortArgument&, std::string* why)> open;
  // Waits until a channel is readable or lost (kReady), the deadline, or an interrupt.
  std::function<WaitResult(std::span<PortChannel* const>, SessionClock::time_point deadline)> wait;
  // The port a --port value names, when its device is there now (a lost port come back).
  std::function<std::optional<PortArgument>(const std::string& text)> find;
};

// backend: null for the machine's serial ports.
int RunUpdate(const UpdateRequest& request, Io io, const PortBackend* backend = nullptr);

}  // namespace pelkar::cli
