// While an InterruptOnSignals lives, what ends a program from outside (Ctrl-C, a kill, a closed
// terminal, console or ssh session) calls RequestInterrupt() instead, so that the ports are
// closed and every result is told.
#pragma once

namespace pelkar::cli {

class InterruptOnSignals {
 public:
  InterruptOnSignals();
  ~InterruptOnSignals();
  InterruptOnSignals(const InterruptOnSignals&) = delete;
  InterruptOnSignals& operator=(const InterruptOnSignals&) = delete;
};

}  // namespace pelkar::cli
