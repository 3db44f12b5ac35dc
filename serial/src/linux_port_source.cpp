#include "serial/linux_port_source.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "serial/port_map.h"
#include "serial/virtual_port.h"
#include "udev_handles.h"

namespace pelkar {
namespace {

std::optional<std::string> Property(udev_device* d, const char* key) {
  const char* v = udev_device_get_property_value(d, key);
  if (v == nullptr || *v == '\0') return std::nullopt;
  std::string s(v);
  std::replace(s.begin(), s.end(), '_', ' ');
  return s;
}

// A readable description: the udev database's vendor and model, else the sysfs product or
// manufacturer of a parent, else the driver's name.
std::string Describe(udev_device* tty) {
  auto model = Property(tty, "ID_MODEL_FROM_DATABASE");
  if (!model) model = Property(tty, "ID_MODEL");
  auto vendor = Property(tty, "ID_VENDOR_FROM_DATABASE");
  if (!vendor) vendor = Property(tty, "ID_VENDOR");
  if (model || vendor) {
    return vendor && model ? *vendor + " " + *model : model ? *model : *vendor;
  }
  for (udev_device* p = udev_device_get_parent(tty); p != nullptr; p = udev_device_get_parent(p)) {
    for (const char* attr : {"product", "manufacturer"}) {
      if (const char* v = udev_device_get_sysattr_value(p, attr); v && *v) return v;
    }
  }
  const std::string name = udev_device_get_sysname(tty);
  if (name.rfind("ttyS", 0) == 0) return "Built-in serial port";
  if (name.rfind("ttyAMA", 0) == 0) return "Built-in UART";
  for (udev_device* p = udev_device_get_parent(tty); p != nullptr; p = udev_device_get_parent(p)) {
    const char* driver = udev_device_get_driver(p);
    // "port" and "ctrl" are the serial core's own devices, which say nothing of the hardware.
    if (driver && *driver && std::string(driver) != "port" && std::string(driver) != "ctrl") {
      return driver;
    }
  }
  return "Serial port";
}

// The 8250 driver makes a ttyS device for every possible UART; those with none behind them
// report the port type PORT_UNKNOWN.
bool HasNoUart(udev_device* tty, const std::string& node) {
  if (const char* type = udev_device_get_sysattr_value(tty, "type"); type && *type) {
    return std::string(type) == "0";
  }
  const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;  // cannot tell: offer it, opening it will say what is wrong
  serial_struct info{};
  const bool unknown = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
  ::close(fd);
  return unknown;
}

void AddUdevPorts(std::vector<std::pair<std::uint8_t, PortDevice>>& out) {
  std::unique_ptr<udev, UdevDeleter> u(udev_new());
  if (!u) return;
  std::unique_ptr<udev_enumerate, UdevDeleter> e(udev_enumerate_new(u.get()));
  if (!e || udev_enumerate_add_match_subsystem(e.get(), "tty") < 0 ||
      udev_enumerate_scan_devices(e.get()) < 0) {
    return;
  }
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
    std::unique_ptr<udev_device, UdevDeleter> tty(
        udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry)));
    if (!tty || udev_device_get_parent(tty.get()) == nullptr) continue;  // consoles, ptmx
    const char* devnode = udev_device_get_devnode(tty.get());
    if (devnode == nullptr) continue;
    const std::string node = devnode;
    const auto port = PortForDevicePath(node);
    if (!port) continue;
    if (node.rfind("/dev/ttyS", 0) == 0 && HasNoUart(tty.get(), node)) continue;
    out.push_back(
        {*port, PortDevice{kPortsClassId, PortDescription(Describe(tty.get())) + " " + node +
                                              " (COM" + std::to_string(*port) + ")"}});
  }
}

}  // namespace

std::vector<std::pair<std::uint8_t, std::string>> LiveVirtualPorts() {
  std::vector<std::pair<std::uint8_t, std::string>> ports;
  for (int n = kFirstVirtualPort; n <= 255; ++n) {
    const auto port = static_cast<std::uint8_t>(n);
    if (auto target = LiveVirtualPortTarget(port)) ports.push_back({port, std::move(*target)});
  }
  return ports;
}

std::vector<PortDevice> LinuxPortSource::Devices() {
  std::vector<std::pair<std::uint8_t, PortDevice>> found;
  AddUdevPorts(found);
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<PortDevice> devices;
  for (auto& [port, device] : found)
    devices.push_back(std::move(device));
  for (const auto& [port, target] : LiveVirtualPorts()) {
    devices.push_back(
        {kPortsClassId, "Simulated device " + target + " (COM" + std::to_string(port) + ")"});
  }
  return devices;
}

std::shared_ptr<PortSource> SystemPortSource() {
  return std::make_shared<LinuxPortSource>();
}

}  // namespace pelkar
