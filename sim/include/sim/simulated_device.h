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
#include "sim/device_model.h"

namespace pelkar {

struct SimulatorOptions {
  DeviceOptions device;
  std::optional<std::uint8_t> com;            // COM number; default: first free from 200
  std::uint32_t baud = 0;                     // pace host bytes as an 8N1 line; 0: no pacing
  std::uint32_t flash_ms = 0;                 // pause after each block, as a flash write
  std::optional<std::size_t> hangup_after;    // the port vanishes after this many blocks
                                              // (0: once the host answered the hello)
  std::optional<std::filesystem::path> save;  // keep the received image here
  bool once = false;                          // end after one exchange
  // A fixture with a fresh unit: after a verdict, the next unit greets the same host on the
  // same port after this pause, instead of waiting for the host to close it.
  std::optional<std::uint32_t> next_unit_ms;
  std::string text_after;                  // a line (0x0A added) a unit prints after its verdict
  std::vector<std::size_t> failing_units;  // units (1 = the first) that answer 14
  std::optional<std::size_t> units;        // units in all; silence after the last
  // Greet only when reset, never because a host opened the port: for a far end that is open
  // long before the host is (a virtual machine's serial line).
  bool wait_reset = false;
  // Serve on this serial port instead of a virtual one. A real line shows no host arriving or
  // leaving, so a unit repeats its hello until it is answered, the next unit follows a verdict
  // unasked, and --once ends at the first verdict.
  std::optional<std::string> on;
};

// How one exchange went, from the device's side.
struct SimulatedExchange {
  std::size_t blocks = 0;               // blocks received
  std::optional<std::uint8_t> verdict;  // what the device answered, if it got that far
  bool crc_matched = false;
  bool host_left = false;  // the host closed the port before the end
  std::size_t unit = 0;    // 1 for the first unit the device played
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
  void ResetHangupState();
  void Log(const std::string& line) const;
  bool StopRequested();
  bool HangUpDue(const DeviceModel& device) const;
  DeviceModel NextUnit();
  bool UnitsLeft() const;
  std::size_t Verdicts() const;

  SimulatorOptions options_;
  std::function<void(const std::string&)> log_;
  int master_ = -1;                     // the pty's master, or the `on` port's descriptor
  std::unique_ptr<SerialComm> serial_;  // the `on` port
  bool next_host_waiting_ = false;  // a host opened the port while the last exchange ended
  int stop_pipe_[2] = {-1, -1};
  int reset_pipe_[2] = {-1, -1};
  std::string pty_path_;
  std::unique_ptr<VirtualPortLink> link_;
  std::uint8_t port_ = 0;
  std::filesystem::path link_path_;
  mutable std::mutex mutex_;
  std::vector<SimulatedExchange> exchanges_;
  std::size_t units_ = 0;  // units begun
};

}  // namespace pelkar
