// pelkar1: the command-line tool over the firmware core, the serial link and the simulated
// device.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace pelkar::cli {

// Exit statuses.
enum Exit : int {
  kOk = 0,             // update OK, or the command did its job
  kUpdateFailed = 1,   // the device answered "Update unsuccessful"
  kUsage = 2,          // the command line is wrong
  kPort = 3,           // a port cannot be opened, or was lost
  kTimeout = 4,        // the device did not answer in time
  kProtocol = 5,       // the device said something the protocol does not allow
  kBadInput = 6,       // an input file cannot be used
  kInterrupted = 130,  // Ctrl-C
};

struct Io {
  std::ostream& out;     // results: text or JSON
  std::ostream& err;     // progress and messages
  bool err_is_terminal;  // draw a live progress bar instead of plain lines
};

// Runs one command line (args[0] is the program's name) and returns its exit status.
int Run(const std::vector<std::string>& args, Io io);

// Ends a running update or simulated device as Ctrl-C does; safe from a signal handler.
void RequestInterrupt() noexcept;

}  // namespace pelkar::cli
