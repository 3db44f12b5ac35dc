// The simulated boot loader on a pseudo-terminal, offered as a virtual port (COM200 up), so
// the tools can update it as they would a real device; or on an existing serial port (`on`: an
// adapter wired null-modem, a UART, a USB gadget's port), configured as a host configures its
// end.
//
// It waits until a host opens the port and has emptied its queues, sends its hello, then
// leads the exchange through DeviceModel. RequestReset() makes it start again with a fresh
// unit, as pressing a real device's reset does. Run() blocks; RequestStop() (from another
// thread or a signal handler) ends it. The virtual port is removed when Run() ends, and at the
// latest when the object goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "serial/serial_comm.h"
#include "serial/virtual_port.h"
#include "sim/device_line.h"

namespace pelkar {

struct SimulatorOptions {
  DeviceOptions device;                       // the unit and its line, faults included
  std::optional<std::uint8_t> com;            // COM number; default: first free from 200
  std::optional<std::filesystem::path> save;  // keep the received image here
  bool once = false;                          // end after one exchange
  // Greet only when reset, never because a host opened the port: for a far end that is open
  // long before the host is (a virtual machine's serial line).
  bool wait_reset = false;
  // Serve on this serial port instead of a virtual one. A real line shows no host arriving or
  // leaving, so a unit repeats its hello until it is answered, the next unit follows a verdict
  // unasked, and --once ends at the first verdict.
  std::optional<std::string> on;
};

class SimulatedDevice {
 public:
  // Creates the pseudo-terminal and its virtual port, or opens the `on` port. Throws
  // std::runtime_error (with the reason: the port is missing, not allowed, held by a named
  // program...) when that fails.
  explicit SimulatedDevice(SimulatorOptions options,
                           std::function<void(const std::string&)> log = nullptr);
  SimulatedDevice(const SimulatedDevice&) = delete;
  SimulatedDevice& operator=(const SimulatedDevice&) = delete;
  ~SimulatedDevice();

  // The COM number offered, also after the port was removed; 0 on an `on` port.
  std::uint8_t port() const noexcept { return port_; }
  // The pseudo-terminal's slave, or the `on` port.
  const std::string& pty_path() const noexcept { return pty_path_; }
  // Where the virtual port's link is, or was once it is removed.
  const std::filesystem::path& link_path() const noexcept { return link_path_; }

  // Serves hosts until RequestStop(), a hang-up, or the end of the first exchange with
  // `once`, then removes the port. Returns the number of exchanges that reached a verdict.
  std::size_t Run();
  // Ends Run() soon; safe from any thread and from a signal handler.
  void RequestStop() noexcept;
  // Abandons the exchange under way, if any, and greets with the next unit at once, or as
  // soon as a host is there; as safe as RequestStop().
  void RequestReset() noexcept;

  std::vector<SimulatedExchange> exchanges() const;

 private:
  enum class Wait { HostThere, Stopped };
  Wait WaitForHost();
  bool Exchange();  // false: Run must end
  // Carries out a step of the line; nothing while the exchange goes on, else whether Run goes
  // on.
  std::optional<bool> Apply(const DeviceLine::Step& step);
  DeviceLine::Step Await(DeviceLine::Time deadline);
  DeviceLine::Step ReadPort(DeviceLine::Time now);
  void HangUp();
  void ResetHangupState();
  void Log(const std::string& line) const;
  std::size_t Verdicts() const;

  SimulatorOptions options_;
  std::function<void(const std::string&)> log_;
  DeviceLine line_;
  int master_ = -1;                     // the pty's master, or the `on` port's descriptor
  std::unique_ptr<SerialComm> serial_;  // the `on` port
  bool next_host_waiting_ = false;      // a host opened the port while the last exchange ended
  int stop_pipe_[2] = {-1, -1};
  int reset_pipe_[2] = {-1, -1};
  std::string pty_path_;
  std::unique_ptr<VirtualPortLink> link_;
  std::uint8_t port_ = 0;
  std::filesystem::path link_path_;
  mutable std::mutex mutex_;
  std::vector<SimulatedExchange> exchanges_;
};

}  // namespace pelkar
