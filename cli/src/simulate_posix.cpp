#include <csignal>
#include <optional>

#include "files/files.h"
#include "output.h"
#include "simulate_command.h"

namespace pelkar::cli {
namespace {

SimulatedDevice* running_device = nullptr;
void StopDevice(int) {
  if (running_device) running_device->RequestStop();
}
// SIGUSR1 is the device's reset button: a test bench presses it when its host is ready.
void ResetDevice(int) {
  if (running_device) running_device->RequestReset();
}

}  // namespace

int Simulate(const SimulatorOptions& options, Io io) {
  if (options.save) CheckOutput(*options.save);  // a device node or folder is never replaced
  std::optional<SimulatedDevice> device;
  try {
    device.emplace(options, [&io](const std::string& line) { io.err << line << std::endl; });
  } catch (const std::exception& e) {
    if (options.on) throw Failure{kPort, "pelkar1 simulate: " + Printable(e.what())};
    throw Failure{kPort, std::string("Cannot offer a simulated device: ") + e.what() + "."};
  }
  running_device = &*device;
  // Every signal that ends the device lets it remove its port first.
  auto old_int = std::signal(SIGINT, StopDevice);
  auto old_term = std::signal(SIGTERM, StopDevice);
  auto old_hup = std::signal(SIGHUP, StopDevice);
  auto old_usr1 = std::signal(SIGUSR1, ResetDevice);
  // Ready once it can be reset and stopped.
  if (options.on) {
    io.out << "Simulated device ready on " << Printable(*options.on)
           << "; update it from the port at the other end of its line: pelkar1 update --port "
              "PORT IMAGE.bin"
           << std::endl;
  } else {
    io.out << "Simulated device ready on COM" << int{device->port()} << " (" << device->pty_path()
           << "); update it with: pelkar1 update --port " << int{device->port()} << " IMAGE.bin"
           << std::endl;
  }
  device->Run();
  std::signal(SIGINT, old_int);
  std::signal(SIGTERM, old_term);
  std::signal(SIGHUP, old_hup);
  std::signal(SIGUSR1, old_usr1);
  running_device = nullptr;
  return kOk;
}

}  // namespace pelkar::cli
