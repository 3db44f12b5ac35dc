#include "serial_adapters.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "serial/port_name.h"
#include "serial/serial_comm.h"

namespace pelkar {
namespace {

// The window's port list over PortName and the machine's port sources.
class SystemPortDiscovery final : public PortDiscovery {
 public:
  void Query() override { ports_.PortKerdez(); }
  std::uint8_t Count() const override { return ports_.Portok(); }
  std::string Name(std::uint8_t index) const override {
    return index < ports_.Portok() ? ports_.PortNev(index) : std::string();
  }
  std::uint8_t Number(std::uint8_t index) const override {
    return index < ports_.Portok() ? ports_.PortSzam(index) : 0;
  }

 private:
  PortName ports_;
};

// The window's channel over SerialComm.
class SerialChannel final : public PortChannel {
 public:
  bool Open(std::uint8_t number, std::int32_t baud) override {
    return comm_.OpenPort(number, baud);
  }
  bool IsOpen() const override { return comm_.IsOpen(); }
  int Descriptor() const override { return comm_.Descriptor(); }
  WaitResult WaitReadable(std::chrono::steady_clock::time_point deadline,
                          const WaitInterrupt& stop) override {
    return comm_.WaitReadable(deadline, &stop);
  }

  ReadResult ReadWaiting(std::vector<std::uint8_t>& out) override {
    std::uint8_t buf[4096];
    while (const std::size_t n = comm_.ReadAvailable(buf))
      out.insert(out.end(), buf, buf + n);
    // Readable with nothing to read is a hang-up, or a wake-up with nothing behind it.
    return comm_.PortLost() ? ReadResult::kLost : ReadResult::kOk;
  }

  bool Write(std::span<const std::uint8_t> data) override { return comm_.WritePort(data); }
  void Close() override { comm_.ClosePort(); }

 private:
  SerialComm comm_;
};

}  // namespace

std::shared_ptr<PortDiscovery> MakeSystemPortDiscovery() {
  return std::make_shared<SystemPortDiscovery>();
}
std::shared_ptr<PortChannel> MakeSerialChannel() {
  return std::make_shared<SerialChannel>();
}

}  // namespace pelkar
