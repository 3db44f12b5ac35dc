#include <csignal>

#include "cli/cli.h"
#include "signals.h"

namespace pelkar::cli {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction saved[3];

void OnSignal(int) {
  RequestInterrupt();
}

}  // namespace

InterruptOnSignals::InterruptOnSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 3; ++i)
    ::sigaction(kSignals[i], &action, &saved[i]);
}

InterruptOnSignals::~InterruptOnSignals() {
  for (int i = 0; i < 3; ++i)
    ::sigaction(kSignals[i], &saved[i], nullptr);
}

}  // namespace pelkar::cli
