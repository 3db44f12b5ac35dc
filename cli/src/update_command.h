// `pelkar1 update`: one image to one or several devices at once, each driven by its own
// exchange from one poll() loop; with --repeat, unit after unit on every port.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"

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

int RunUpdate(const UpdateRequest& request, Io io);

}  // namespace pelkar::cli
