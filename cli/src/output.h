// What the commands print: JSON that is always valid UTF-8, and exceptions turned into one
// line and an exit status.
#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "cli/cli.h"
#include "serial/adapter.h"

namespace pelkar::cli {

// A failure with its exit status and the one line that tells the user what to do.
struct Failure {
  int status;
  std::string message;
};

// Bytes that are not UTF-8 (a file or port name) become U+FFFD instead of aborting the dump.
inline std::string DumpJson(const nlohmann::ordered_json& j, int indent = -1) {
  return j.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// A byte as two hexadecimal digits ("0A").
inline std::string Hex2(std::uint8_t b) {
  char s[4];
  std::snprintf(s, sizeof s, "%02X", b);
  return s;
}

// A time-out as the user gave it ("0.5 s").
inline std::string Seconds(double s) {
  std::ostringstream o;
  o << s << " s";
  return o.str();
}

// A USB adapter's identity as `ports --json`, `update --json` and the log give it; null when
// the port is no known USB adapter.
inline nlohmann::ordered_json AdapterJson(const std::optional<UsbAdapter>& a) {
  if (!a) return nullptr;
  nlohmann::ordered_json j;
  j["vendor_id"] = a->vendor_id;
  j["product_id"] = a->product_id;
  j["manufacturer"] = a->manufacturer;
  j["product"] = a->product;
  j["serial"] = a->serial;
  j["by_id"] =
      a->by_id.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(a->by_id);
  return j;
}

}  // namespace pelkar::cli
