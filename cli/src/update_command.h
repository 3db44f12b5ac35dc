// `pelkar1 update`: one image to one or several devices at once, each driven by its own
// exchange from one poll() loop.
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"

namespace pelkar::cli {

struct UpdateRequest {
  std::vector<std::string> ports;
  std::string image;
  double timeout_s = 5;         // without the awaited byte, once the device has spoken
  double hello_timeout_s = 60;  // for the device's hello
  bool json = false;
  bool quiet = false;
  bool trace = false;
};

int RunUpdate(const UpdateRequest& request, Io io);

}  // namespace pelkar::cli
