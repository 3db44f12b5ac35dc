#include <memory>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "files/files.h"
#include "output.h"
#include "serial/adapter.h"
#include "serial/port_map.h"
#include "serial/port_name.h"

namespace pelkar::cli {

namespace {

int Ports(bool json, Io io) {
  PortName ports;
  const bool found = ports.PortKerdez() == 1;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (std::uint8_t i = 0; found && i < ports.Portok(); ++i) {
    const auto path = DevicePathForPort(ports.PortSzam(i));
    const auto adapter = path ? AdapterForDevice(*path) : std::nullopt;
    const PortAccess access = path ? AccessOf(*path) : PortAccess::Unknown;
    const auto holders = path ? PortHolders(*path) : std::vector<PortHolder>{};
    // -1: none. (No optional: g++ 12 warns falsely that its value may be used uninitialised.)
    long latency = -1;
    if (path) {
      if (const auto ms = LatencyTimerMs(*path)) latency = static_cast<long>(*ms);
    }
    if (json) {
      nlohmann::ordered_json held = nlohmann::ordered_json::array();
      for (const PortHolder& h : holders)
        held.push_back({{"pid", h.pid}, {"name", h.name}});
      list.push_back({{"port", ports.PortSzam(i)},
                      {"name", ports.PortNev(i)},
                      {"path", path ? nlohmann::ordered_json(*path) : nullptr},
                      {"access", AccessName(access)},
                      {"holders", held},
                      {"latency_ms", latency >= 0 ? nlohmann::ordered_json(latency) : nullptr},
                      {"adapter", AdapterJson(adapter)}});
      continue;
    }
    io.out << "COM" << int{ports.PortSzam(i)} << "\t" << ports.PortNev(i);
    if (access != PortAccess::Unknown) io.out << "\t" << AccessName(access);
    if (!holders.empty()) io.out << " (held by " << Printable(HoldersText(holders)) << ")";
    if (latency >= 0) io.out << "\tlatency timer " << latency << " ms";
    io.out << "\n";
    if (adapter) {
      io.out << "\tUSB " << adapter->vendor_id << ":" << adapter->product_id << " "
             << Printable(adapter->manufacturer) << " / " << Printable(adapter->product)
             << ", serial " << (adapter->serial.empty() ? "none" : Printable(adapter->serial))
             << "\n";
      if (!adapter->by_id.empty()) io.out << "\t" << Printable(adapter->by_id) << "\n";
    }
  }
  if (json) io.out << DumpJson(list, 2) << std::endl;
  if (!found && !json) {
    io.err << "No serial port found. Plug the adapter in, or start a simulated device with "
              "`pelkar1 simulate`."
           << std::endl;
  }
  return kOk;
}

}  // namespace

Command PortsCommand(CLI::App& app, Io io) {
  auto json = std::make_shared<bool>(false);
  auto* sub = app.add_subcommand("ports", "List the serial ports and their COM numbers");
  sub->add_flag("--json", *json, "Print a JSON array");
  return {sub, [=] { return Ports(*json, io); }};
}

}  // namespace pelkar::cli
