#include <cstdio>
#include <sstream>
#include <vector>

#include "serial/adapter.h"

namespace pelkar {
namespace {

std::string Get(const std::map<std::string, std::string>& props, const char* key) {
  const auto it = props.find(key);
  return it == props.end() ? std::string() : it->second;
}

// udev's _ENC values escape what a shell would split: "FT232R\x20USB\x20UART".
std::string DecodeEscapes(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned value = 0;
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
        std::sscanf(text.substr(i + 2, 2).c_str(), "%2x", &value) == 1) {
      out += static_cast<char>(value);
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The _ENC form is the device's own text; the plain one has '_' for every blank.
std::string Text(const std::map<std::string, std::string>& props, const char* enc,
                 const char* plain) {
  std::string v = DecodeEscapes(Get(props, enc));
  if (v.empty()) {
    v = Get(props, plain);
    for (char& c : v)
      if (c == '_') c = ' ';
  }
  while (!v.empty() && v.back() == ' ')
    v.pop_back();
  return v;
}

}  // namespace

std::optional<UsbAdapter> AdapterFromProperties(const std::map<std::string, std::string>& props) {
  UsbAdapter a;
  a.vendor_id = Get(props, "ID_VENDOR_ID");
  a.product_id = Get(props, "ID_MODEL_ID");
  if (Get(props, "ID_BUS") != "usb" && a.vendor_id.empty()) return std::nullopt;
  a.manufacturer = Text(props, "ID_VENDOR_ENC", "ID_VENDOR");
  a.product = Text(props, "ID_MODEL_ENC", "ID_MODEL");
  a.serial = Get(props, "ID_SERIAL_SHORT");
  std::istringstream links(Get(props, "DEVLINKS"));
  for (std::string link; links >> link;) {
    if (link.rfind("/dev/serial/by-id/", 0) == 0) {
      a.by_id = link;
      break;
    }
  }
  return a;
}

const char* AccessName(PortAccess access) {
  switch (access) {
    case PortAccess::Ready:
      return "ready";
    case PortAccess::NoAccess:
      return "no-access";
    case PortAccess::Busy:
      return "busy";
    case PortAccess::Missing:
      return "missing";
    case PortAccess::Unknown:
      break;
  }
  return "unknown";
}

bool LockedIn(std::string_view proc_locks, unsigned major, unsigned minor, unsigned long inode) {
  // "1: FLOCK  ADVISORY  WRITE 4242 00:05:1234 0 EOF": the device in hexadecimal, the inode
  // in decimal; a "->" marks a waiter, whose lock is not yet taken.
  std::istringstream lines{std::string(proc_locks)};
  for (std::string line; std::getline(lines, line);) {
    if (line.find("->") != std::string::npos) continue;
    std::istringstream words(line);
    for (std::string w; words >> w;) {
      unsigned ma = 0, mi = 0;
      unsigned long ino = 0;
      char tail = 0;
      if (std::sscanf(w.c_str(), "%x:%x:%lu%c", &ma, &mi, &ino, &tail) == 3 && ma == major &&
          mi == minor && ino == inode) {
        return true;
      }
    }
  }
  return false;
}

std::string HoldersText(const std::vector<PortHolder>& holders) {
  std::string text;
  for (const PortHolder& h : holders) {
    if (!text.empty()) text += "; ";
    text += (h.name.empty() ? std::string("a process") : h.name) + ", pid " + std::to_string(h.pid);
  }
  return text;
}

std::string HeldPortMessage(const std::string& path, const std::vector<PortHolder>& holders) {
  // Two readers would share the device's bytes, and the other's settings may echo them back.
  return path + " is held by another program (" + HoldersText(holders) +
         "): close that program, or stop the service (for ModemManager: sudo systemctl stop "
         "ModemManager), then try again.";
}

std::optional<std::string> LatencyAdviceText(const std::string& port, unsigned ms,
                                             std::size_t blocks, const std::string& how) {
  if (ms <= 2) return std::nullopt;
  // The device asks for every block and then for the checksum, one byte each; the adapter
  // holds each lone byte until its timer runs out.
  const std::size_t requests = blocks + 1;
  const double total_ms = static_cast<double>(requests) * ms;
  char cost[64];
  if (total_ms < 1000)
    std::snprintf(cost, sizeof cost, "%.0f ms", total_ms);
  else
    std::snprintf(cost, sizeof cost, "%.1f s", total_ms / 1000.0);
  return port + ": the adapter's latency timer is " + std::to_string(ms) + " ms; each of the " +
         std::to_string(requests) + " requests of this update may wait that long, up to " + cost +
         " more in all. " + how;
}

}  // namespace pelkar
