#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "serial/port_name.h"

namespace pelkar {
namespace {

class FakeSource : public PortSource {
 public:
  explicit FakeSource(std::vector<PortDevice> devices, bool fail = false)
      : devices_(std::move(devices)), fail_(fail) {}
  std::vector<PortDevice> Devices() override {
    if (fail_) throw std::runtime_error("inventory unavailable");
    return devices_;
  }

 private:
  std::vector<PortDevice> devices_;
  bool fail_;
};

const std::string kPorts = kPortsClassId;

PortDevice Port(std::string name) {
  return {kPorts, std::move(name)};
}

TEST(PortName, NoPortLeavesOneEmptyEntry) {
  PortName none(std::make_shared<FakeSource>(std::vector<PortDevice>{}));
  EXPECT_EQ(none.Portok(), 0);
  EXPECT_EQ(none.PortKerdez(), 0);
  EXPECT_EQ(none.Portok(), 1);
  EXPECT_EQ(none.PortNev(0), "");
  EXPECT_EQ(none.PortSzam(0), 0);
  EXPECT_THROW(none.PortNev(1), std::out_of_range);

  PortName broken(std::make_shared<FakeSource>(std::vector<PortDevice>{}, true));
  EXPECT_EQ(broken.PortKerdez(), 0);
  EXPECT_EQ(broken.Portok(), 1);
}

TEST(PortName, ListsPortsInOrderWithTheirNumbers) {
  PortName p(std::make_shared<FakeSource>(std::vector<PortDevice>{
      Port("Communications Port (COM1)"),
      {"{4d36e968-e325-11ce-bfc1-08002be10318}", "Display with COM in its name (COM9)"},
      Port("ECP Printer Port (LPT1)"),
      {"{4d36e978-e325-11ce-bfc1-08002be10318}", "USB Serial Port (COM7)"},
      Port("Modem com port (com4)"),
      Port("Link(A) Serial Port (COM3)"),
      Port("COM3"),
      Port("USB-to-Serial Comm Port (COM5)"),
      Port("Second adapter (COM5)"),
      {std::nullopt, "No class (COM2)"},
      {kPorts, std::nullopt},
      Port("Too high (COM256)"),
      Port("FT232R USB UART /dev/ttyUSB0 (COM33)"),
  }));
  EXPECT_EQ(p.PortKerdez(), 1);
  const std::vector<std::pair<std::string, int>> expected = {
      {"Communications Port (COM1)", 1},
      {"USB Serial Port (COM7)", 7},
      {"Link(A) Serial Port (COM3)", 0},
      {"COM3", 0},
      {"USB-to-Serial Comm Port (COM5)", 5},
      {"Second adapter (COM5)", 5},
      {"FT232R USB UART /dev/ttyUSB0 (COM33)", 33},
  };
  ASSERT_EQ(p.Portok(), expected.size());
  for (std::uint8_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(p.PortNev(i), expected[i].first);
    EXPECT_EQ(p.PortSzam(i), expected[i].second) << expected[i].first;
  }
}

TEST(PortName, ReadsNumbersLeniently) {
  const std::pair<const char*, double> cases[] = {
      {"12", 12},   {" 1 2", 12}, {"\t7\n", 7}, {"+4", 4},   {"-3", -3},
      {"2.5", 2.5}, {"1e2", 100}, {"1D1", 10},  {"3abc", 3}, {"abc", 0},
      {"", 0},      {".5", 0.5},  {"1e", 1},    {"-", 0},    {"1e999", 0},
  };
  for (const auto& [text, value] : cases)
    EXPECT_EQ(LenientNumber(text), value) << text;
  // Halves go to the even neighbour; negative numbers are no port.
  const auto ports = ParsePortList(
      {Port("A (COM2.5)"), Port("B (COM3.5)"), Port("C (COM-1)"), Port("D (COM255)")});
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports[0].PortNumber, 2);
  EXPECT_EQ(ports[1].PortNumber, 4);
  EXPECT_EQ(ports[2].PortNumber, 255);
}

TEST(PortName, StopsAt255Ports) {
  std::vector<PortDevice> many(300, Port("Port (COM9)"));
  PortName p(std::make_shared<FakeSource>(many));
  p.PortKerdez();
  EXPECT_EQ(p.Portok(), 255);
}

TEST(PortDescription, KeepsTheNumberParseable) {
  const std::string name = PortDescription("Adapter (rev B)") + " /dev/ttyUSB1 (COM34)";
  EXPECT_EQ(name, "Adapter [rev B] /dev/ttyUSB1 (COM34)");
  EXPECT_EQ(ParsePortList({Port(name)}).at(0).PortNumber, 34);
}

// The registry's map names a port only by its driver's device: the entry shown must still
// read well and give the port's number.
TEST(RegistryPortDevice, NamesThePortAfterItsDriver) {
  const std::tuple<const char*, const char*, const char*, int> cases[] = {
      {"\\Device\\Serial0", "COM1", "Communications Port (COM1)", 1},
      {"\\Device\\VCP0", "COM12", "USB Serial Port (COM12)", 12},
      {"\\Device\\USBSER000", "COM7", "USB Serial Device (COM7)", 7},
      {"\\Device\\BthModem2", "COM40", "Standard Serial over Bluetooth link (COM40)", 40},
      {"\\Device\\Silabser0", "COM255", "Silabser0 (COM255)", 255},
      {"\\Device\\Odd(1)", "COM3 ", "Odd[1] (COM3)", 3},
      {"", "COM9", "Serial port (COM9)", 9},
  };
  for (const auto& [device, port, name, number] : cases) {
    const PortDevice d = RegistryPortDevice(device, port);
    EXPECT_EQ(d.class_id, kPorts);
    EXPECT_EQ(d.name, name);
    const auto ports = ParsePortList({d});
    ASSERT_EQ(ports.size(), 1u) << name;
    EXPECT_EQ(ports[0].PortNumber, number);
  }
  // A port that is no COM port (a virtual pair's own names) is not offered.
  EXPECT_TRUE(ParsePortList({RegistryPortDevice("\\Device\\com0com10", "CNCA0")}).empty());
}

}  // namespace
}  // namespace pelkar
