#include "port_argument.h"

#include <algorithm>
#include <cctype>

#include "files/files.h"
#include "output.h"
#include "serial/adapter.h"
#include "serial/network_channel.h"
#include "serial/port_map.h"

namespace pelkar::cli {
namespace {

std::optional<long> Number(const std::string& s) {
  if (s.empty() || s.size() > 9 || !std::all_of(s.begin(), s.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      })) {
    return std::nullopt;
  }
  return std::stol(s);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string Trimmed(const std::string& s) {
  const auto first = std::find_if_not(s.begin(), s.end(), IsBlank);
  const auto last = std::find_if_not(s.rbegin(), s.rend(), IsBlank).base();
  return first < last ? std::string(first, last) : std::string();
}

// The number a port argument gives: "33", "COM33", "com33", and "COM33:" as Windows writes a
// device. Nothing for a name or a path. What only looks like a number ("-1", "+3", "COM 3",
// "COM-3") is a usage error, not a device name to try.
std::optional<long> PortNumber(const std::string& text) {
  const bool com = text.size() >= 3 && std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
                   std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
                   std::toupper(static_cast<unsigned char>(text[2])) == 'M';
  std::string rest = com ? text.substr(3) : text;
  if (com && rest.size() > 1 && rest.back() == ':') rest.pop_back();
  if (const auto number = Number(rest)) return number;
  // Digits after blanks (only behind COM) or after a sign, or too many of them.
  std::size_t at = com ? rest.find_first_not_of(" \t") : 0;
  if (at < rest.size() && (rest[at] == '-' || rest[at] == '+')) ++at;
  const bool looks_like_one =
      (com || at > 0) && at < rest.size() &&
      std::all_of(rest.begin() + static_cast<long>(at), rest.end(),
                  [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
  if (looks_like_one) {
    throw Failure{kUsage, "pelkar1 update: --port " + Printable(text) +
                              ": not a port number; give 1 to 255, COM1 to COM255, a name or a "
                              "path (see `pelkar1 ports`)."};
  }
  return std::nullopt;
}

PortArgument Numbered(long number, const std::string& path) {
  return PortArgument{"COM" + std::to_string(number), path, static_cast<int>(number)};
}

// A link (/dev/serial/by-id/...) is named by the port it leads to, and opened as given.
PortArgument Labelled(const std::string& path) {
  for (const std::string& step : LinkSteps(path)) {
    if (auto port = PortForDevicePath(step)) return Numbered(*port, path);
  }
  return PortArgument{path, path, std::nullopt};
}

}  // namespace

std::optional<PortArgument> ResolvePort(const std::string& text) {
  if (LooksLikeNetworkUrl(text)) {
    std::string why;
    const auto url = ParseNetworkUrl(Trimmed(text), &why);
    if (!url) {
      throw Failure{kUsage, "pelkar1 update: --port " + Printable(text) + ": " + why + "."};
    }
    return PortArgument{url->Text(), url->Text(), std::nullopt};
  }
  // Blanks around a number are no part of it ("COM7 " from a copied list).
  if (const std::optional<long> number = PortNumber(Trimmed(text))) {
    if (*number < 1 || *number > 255) {
      throw Failure{kUsage, "pelkar1 update: --port " + Printable(text) +
                                ": a port number runs from 1 to 255 (see `pelkar1 ports`)."};
    }
    auto path = DevicePathForPort(static_cast<std::uint8_t>(*number));
    if (!path) return std::nullopt;
    return Numbered(*number, *path);
  }
  const std::string path = DevicePathForName(text);
  if (auto port = PortForDevicePath(path)) return Numbered(*port, path);
  // A bare word that names no device may be an adapter's serial number: its by-id link keeps
  // the fixture's name whatever order the adapters were plugged in.
  if (text.find_first_of("/\\") == std::string::npos && !DeviceExists(path)) {
    for (const UsbAdapter& a : UsbAdapters()) {
      if (!a.serial.empty() && a.serial == text) return Labelled(a.by_id);
    }
  }
  return Labelled(path);
}

std::string PortIdentity(const PortArgument& port) {
  std::string why;
  if (const auto url =
          LooksLikeNetworkUrl(port.path) ? ParseNetworkUrl(port.path, &why) : std::nullopt) {
    return "server " + url->host + " " + std::to_string(url->port);
  }
  return DeviceIdentity(port.path);
}

}  // namespace pelkar::cli
