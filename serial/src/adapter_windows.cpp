#include "serial/adapter.h"

namespace pelkar {

// The Windows port listing names ports only; the adapters behind them are not told yet.
std::optional<UsbAdapter> AdapterForDevice(const std::string&) {
  return std::nullopt;
}

std::vector<UsbAdapter> UsbAdapters() {
  return {};
}

PortAccess AccessOf(const std::string&) {
  return PortAccess::Unknown;
}

}  // namespace pelkar
