// Port discovery: the serial ports present, with the names the system shows and their
// port numbers, found once per PortKerdez.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelkar {

// The device class of serial and parallel ports, as the device inventory names it.
inline constexpr char kPortsClassId[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";

// One device of the inventory: its class identifier and its display name, either possibly
// missing.
struct PortDevice {
  std::optional<std::string> class_id;
  std::optional<std::string> name;
};

// Where devices come from: the system's inventory, or a fake in tests.
class PortSource {
 public:
  virtual ~PortSource() = default;
  // The devices present, in the inventory's order. Throws when the inventory cannot be read.
  virtual std::vector<PortDevice> Devices() = 0;
};

struct PortEntry {
  std::string DisplayName;
  std::uint8_t PortNumber = 0;
};

// The ports among devices, in order: devices of the ports class (any letter case) whose
// name holds "COM"; the number is read from the text after the name's first "(", with ")"
// and "(COM" removed, as a lenient decimal rounded half to even (0 when there is none).
// Devices without a class or a name, numbers outside 0..255 and ports past the 255th are
// left out.
std::vector<PortEntry> ParsePortList(const std::vector<PortDevice>& devices);

// The leading number of text, read leniently: blanks, tabs and line feeds are skipped
// wherever they stand; sign, digits, decimal point and exponent are read; 0 when none.
double LenientNumber(const std::string& text);

// Parentheses inside a description would confuse the number parsing: they become brackets.
std::string PortDescription(std::string text);

// A port as the Windows registry's serial port map lists it: the driver's device
// ("\Device\Serial0") and the port's name ("COM1"), shown as a readable description followed
// by the name in parentheses ("Communications Port (COM1)").
PortDevice RegistryPortDevice(std::string_view device, std::string_view port);

// The machine's own source: udev and the virtual ports on Linux; on Windows the device
// inventory (WMI), or the registry's serial port map when that lists no port.
std::shared_ptr<PortSource> SystemPortSource();

class PortName {
 public:
  // source: where PortKerdez looks; null means the machine's own (SystemPortSource()).
  explicit PortName(std::shared_ptr<PortSource> source = nullptr);

  // Runs the discovery: 1 when at least one port was found, else 0. Afterwards there is
  // always at least one entry: with no port, one with an empty name and number 0. A source
  // that fails gives no ports; it never stops the caller.
  std::uint8_t PortKerdez();
  // Number of entries (at least 1 after PortKerdez, 0 before it).
  std::uint8_t Portok() const;
  // Display name and port number of entry index; std::out_of_range past the last entry.
  std::string PortNev(std::uint8_t index) const;
  std::uint8_t PortSzam(std::uint8_t index) const;

 private:
  std::shared_ptr<PortSource> source_;
  std::vector<PortEntry> ports_;
};

}  // namespace pelkar
