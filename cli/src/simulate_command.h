// `pelkar1 simulate`: a simulated device on a pseudo-terminal, offered as a virtual port until
// a signal ends it. Only where pseudo-terminals exist.
#pragma once

#include "cli/cli.h"
#include "sim/simulated_device.h"

namespace pelkar::cli {

int Simulate(const SimulatorOptions& options, Io io);

}  // namespace pelkar::cli
