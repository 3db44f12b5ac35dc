#include "serial/port_name.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>

namespace pelkar {
namespace {

void RemoveAll(std::string& text, const std::string& what) {
  for (std::size_t at; (at = text.find(what)) != std::string::npos;)
    text.erase(at, what.size());
}

std::string Upper(std::string s) {
  for (auto& c : s)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

double LenientNumber(const std::string& text) {
  std::string s;
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\n') s += c;
  }
  std::size_t i = 0;
  std::string number;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) number += s[i++];
  const std::size_t digits_start = number.size();
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
    number += s[i++];
  if (i < s.size() && s[i] == '.') {
    number += s[i++];
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
      number += s[i++];
  }
  if (number.size() == digits_start || number == "+." || number == "-." || number == ".") {
    return 0;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
    std::string exponent = "e";
    std::size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) exponent += s[j++];
    const std::size_t before = exponent.size();
    while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])))
      exponent += s[j++];
    if (exponent.size() > before) number += exponent;
  }
  try {
    return std::stod(number);
  } catch (const std::exception&) {
    return 0;  // out of range: no number that names a port
  }
}

std::string PortDescription(std::string text) {
  std::replace(text.begin(), text.end(), '(', '[');
  std::replace(text.begin(), text.end(), ')', ']');
  return text;
}

PortDevice RegistryPortDevice(std::string_view device, std::string_view port) {
  // What Device Manager calls the ports of the common drivers; others by their device name.
  static constexpr std::pair<std::string_view, std::string_view> kKnown[] = {
      {"Serial", "Communications Port"},
      {"VCP", "USB Serial Port"},
      {"USBSER", "USB Serial Device"},
      {"BthModem", "Standard Serial over Bluetooth link"},
  };
  const auto Trim = [](std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
      s.remove_suffix(1);
    while (!s.empty() && s.front() == ' ')
      s.remove_prefix(1);
    return s;
  };
  device = Trim(device);
  port = Trim(port);
  const std::size_t slash = device.find_last_of('\\');
  std::string_view object = slash == std::string_view::npos ? device : device.substr(slash + 1);
  std::string_view stem = object;
  while (!stem.empty() && std::isdigit(static_cast<unsigned char>(stem.back())))
    stem.remove_suffix(1);
  std::string description = object.empty() ? "Serial port" : std::string(object);
  for (const auto& [driver, name] : kKnown) {
    if (stem == driver) description = name;
  }
  return {kPortsClassId, PortDescription(description) + " (" + std::string(port) + ")"};
}

std::vector<PortEntry> ParsePortList(const std::vector<PortDevice>& devices) {
  std::vector<PortEntry> ports;
  for (const PortDevice& d : devices) {
    if (!d.class_id || Upper(*d.class_id) != kPortsClassId) continue;
    if (!d.name || d.name->find("COM") == std::string::npos) continue;
    const std::string& name = *d.name;
    const std::size_t paren = name.find('(');
    std::string tail = paren == std::string::npos ? name : name.substr(paren);
    RemoveAll(tail, ")");
    RemoveAll(tail, "(COM");
    const double value = std::nearbyint(LenientNumber(tail));  // halves to the even neighbour
    if (!(value >= 0 && value <= 255)) continue;
    if (ports.size() == 255) break;
    ports.push_back({name, static_cast<std::uint8_t>(value)});
  }
  return ports;
}

PortName::PortName(std::shared_ptr<PortSource> source) : source_(std::move(source)) {
  if (!source_) source_ = SystemPortSource();
}

std::uint8_t PortName::PortKerdez() {
  std::vector<PortDevice> devices;
  try {
    devices = source_->Devices();
  } catch (const std::exception&) {
    // An inventory that cannot be read lists no port; the window still starts.
  }
  ports_ = ParsePortList(devices);
  const bool found = !ports_.empty();
  if (!found) ports_.push_back({});
  return found ? 1 : 0;
}

std::uint8_t PortName::Portok() const {
  return static_cast<std::uint8_t>(ports_.size());
}

std::string PortName::PortNev(std::uint8_t index) const {
  return ports_.at(index).DisplayName;
}

std::uint8_t PortName::PortSzam(std::uint8_t index) const {
  return ports_.at(index).PortNumber;
}

}  // namespace pelkar
