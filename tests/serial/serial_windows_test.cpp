// What the serial library does on Windows beyond what every system shares: the system's own
// port numbers, its words for failures, port discovery through WMI and the registry, and the
// FTDI driver's latency timer from the registry.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "pty.h"
#include "serial/adapter.h"
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

// The keys the FTDI driver makes for each adapter, planted in the test's Wine prefix.
class FtdiKeys {
 public:
  static constexpr wchar_t kBus[] = L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";
  FtdiKeys() { Remove(); }
  ~FtdiKeys() { Remove(); }
  void Plant(const wchar_t* adapter, const wchar_t* instance, const wchar_t* port,
             std::optional<DWORD> latency) {
    const std::wstring name =
        std::wstring(kBus) + L"\\" + adapter + L"\\" + instance + L"\\Device Parameters";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                   static_cast<DWORD>((wcslen(port) + 1) * sizeof(wchar_t)));
    if (latency) {
      RegSetValueExW(key, L"LatencyTimer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&*latency),
                     sizeof(DWORD));
    }
    RegCloseKey(key);
  }

 private:
  static void Remove() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBus); }
};

TEST(LatencyTimerWindows, ReadFromTheFtdiAdapterWhosePortNameIsThePort) {
  FtdiKeys keys;
  keys.Plant(L"VID_0403+PID_6001+A50285BIA", L"0000", L"COM7", 16);
  keys.Plant(L"VID_0403+PID_6015+DN04ABCDA", L"0000", L"COM12", 1);
  keys.Plant(L"VID_0403+PID_6010+FT9XYZ01A", L"0001", L"com21", 8);  // second instance
  keys.Plant(L"VID_0403+PID_6001+NOTIMERA", L"0000", L"COM30", std::nullopt);
  const struct {
    const char* path;
    std::optional<unsigned> ms;
    bool advice;
  } cases[] = {
      {"\\\\.\\COM7", 16, true},      {"COM12", 1, false},           {"\\\\.\\COM21", 8, true},
      {"COM30", std::nullopt, false}, {"COM3", std::nullopt, false},  // not an FTDI adapter
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LatencyTimerMs(c.path), c.ms) << c.path;
    const auto advice = LatencyAdvice(c.path, 160);
    EXPECT_EQ(advice.has_value(), c.advice) << c.path;
    if (advice) {
      EXPECT_NE(advice->find("Device Manager, the port, Port Settings"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace pelkar
