#include "output.h"
#include "simulate_command.h"

namespace pelkar::cli {

int Simulate(const SimulatorOptions&, Io) {
  throw Failure{kUsage,
                "pelkar1 simulate needs a pseudo-terminal, which Windows does not have: run it on "
                "Linux (under Wine, link a COM port to its pseudo-terminal)."};
}

}  // namespace pelkar::cli
