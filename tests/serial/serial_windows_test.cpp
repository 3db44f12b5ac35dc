// What the serial library does on Windows beyond what every system shares: the system's own
// port numbers, its words for failures, and port discovery through WMI and the registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "pty.h"
#include "serial/port_map.h"
#include "serial/port_name.h"
#include "serial/serial_comm.h"
#include "serial/windows_port_source.h"

namespace pelkar {
namespace {

TEST(PortMapWindows, TheNumberIsTheSystemsOwn) {
  const std::pair<int, const char*> cases[] = {
      {1, "\\\\.\\COM1"}, {9, "\\\\.\\COM9"}, {10, "\\\\.\\COM10"}, {255, "\\\\.\\COM255"}};
  for (const auto& [port, path] : cases) {
    EXPECT_EQ(DevicePathForPort(static_cast<std::uint8_t>(port)), path);
    EXPECT_EQ(PortForDevicePath(path), port);
  }
  EXPECT_FALSE(DevicePathForPort(0));
  const std::pair<const char*, int> names[] = {{"COM12", 12}, {"com3", 3}, {"\\\\.\\Com200", 200}};
  for (const auto& [name, port] : names)
    EXPECT_EQ(PortForDevicePath(name), port) << name;
  for (const char* name : {"COM0", "COM256", "COM01", "COM", "LPT1", "COM1x", "\\\\.\\COM1000"}) {
    EXPECT_FALSE(PortForDevicePath(name)) << name;
  }
  EXPECT_FALSE(VirtualPortFolder());
}

TEST(SerialCommWindows, TellsAMissingPortInTheSystemsWordsWithWhatToDo) {
  SerialComm port;
  EXPECT_FALSE(port.OpenPort(254, 115200));
  EXPECT_EQ(port.LastErrno(), ENOENT);
  const std::string& text = port.LastError();
  EXPECT_EQ(text.rfind("Cannot open \\\\.\\COM254: ", 0), 0u) << text;
  EXPECT_NE(text.find("check Device Manager"), std::string::npos) << text;
  EXPECT_GT(text.size(), std::string("Cannot open \\\\.\\COM254: . No such port").size()) << text;
  EXPECT_FALSE(port.OpenPort(1, 0));
  EXPECT_EQ(port.LastErrno(), EINVAL);
}

TEST(SerialCommWindows, OpensAPortByItsNameAlone) {
  test::Pty pty;
  const std::string name = pty.path().substr(4);  // COMn, n from 100 up
  for (std::string text : {name, std::string("com") + name.substr(3)}) {
    SerialComm port;
    ASSERT_TRUE(port.OpenPath(text, 115200)) << text << ": " << port.LastError();
    EXPECT_EQ(port.Path(), pty.path());
  }
}

// Under Wine WMI lists devices but none of the ports class, so the registry's map answers.
TEST(PortDiscoveryWindows, TheRegistryListsThePortsWhenWmiHasNone) {
  std::vector<PortDevice> wmi;
  ASSERT_NO_THROW(wmi = WmiPortSource().Devices());
  const char* declared = std::getenv("PELKAR_REGISTRY_PORT");
  ASSERT_NE(declared, nullptr) << "the Wine prefix's own port";
  const std::string name = std::string("Communications Port (COM") + declared + ")";

  const auto registry = RegistryPortSource().Devices();
  const auto listed = [&name](const std::vector<PortDevice>& devices) {
    return std::any_of(devices.begin(), devices.end(),
                       [&name](const PortDevice& d) { return d.name == name; });
  };
  EXPECT_TRUE(listed(registry));
  if (ParsePortList(wmi).empty()) {
    EXPECT_TRUE(listed(WindowsPortSource().Devices()));
  }

  PortName ports;
  EXPECT_EQ(ports.PortKerdez(), 1);
  bool found = false;
  for (std::uint8_t i = 0; i < ports.Portok(); ++i) {
    found = found || (ports.PortNev(i) == name && ports.PortSzam(i) == std::atoi(declared));
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace pelkar
