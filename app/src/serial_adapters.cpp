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

}  // namespace

std::shared_ptr<PortDiscovery> MakeSystemPortDiscovery() {
  return std::make_shared<SystemPortDiscovery>();
}
std::shared_ptr<PortChannel> MakeSerialChannel() {
  return std::make_shared<SerialChannel>();
}

}  // namespace pelkar
