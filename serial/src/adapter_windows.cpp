#include <windows.h>

#include <cwchar>
#include <string>

#include "serial/adapter.h"
#include "serial/port_map.h"

namespace pelkar {
namespace {

constexpr wchar_t kFtdiBus[] = L"SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";

class Key {
 public:
  Key(HKEY parent, const std::wstring& name) {
    if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  explicit operator bool() const { return key_ != nullptr; }
  HKEY get() const { return key_; }

  std::wstring Subkey(DWORD index) const {
    wchar_t name[256];
    DWORD size = 256;
    if (RegEnumKeyExW(key_, index, name, &size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return L"";
    }
    return std::wstring(name, size);
  }
  std::wstring Text(const wchar_t* value) const {
    wchar_t data[64] = {};
    DWORD type = 0, size = sizeof data - sizeof(wchar_t);
    if (RegQueryValueExW(key_, value, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
      return L"";
    }
    return data;
  }
  std::optional<DWORD> Number(const wchar_t* value) const {
    DWORD data = 0, type = 0, size = sizeof data;
    if (RegQueryValueExW(key_, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
      return std::nullopt;
    }
    return data;
  }

 private:
  HKEY key_ = nullptr;
};

bool SameName(const std::wstring& a, const std::wstring& b) {
  return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

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

std::vector<PortHolder> PortHolders(const std::string&) {
  return {};
}

// The FTDI driver keeps each adapter's settings under FTDIBUS, one key per adapter
// (VID+PID+serial), an instance below it ("0000") and its "Device Parameters", where PortName
// is the COM port it was given.
std::optional<unsigned> LatencyTimerMs(const std::string& path) {
  const auto number = PortForDevicePath(path);
  if (!number) return std::nullopt;
  const std::wstring port = L"COM" + std::to_wstring(*number);
  const Key bus(HKEY_LOCAL_MACHINE, kFtdiBus);
  if (!bus) return std::nullopt;
  for (DWORD i = 0;; ++i) {
    const std::wstring adapter = bus.Subkey(i);
    if (adapter.empty()) break;
    const Key instances(bus.get(), adapter);
    if (!instances) continue;
    for (DWORD j = 0;; ++j) {
      const std::wstring instance = instances.Subkey(j);
      if (instance.empty()) break;
      const std::wstring where = instance + L"\\Device Parameters";
      const Key parameters(instances.get(), where);
      if (!parameters) continue;
      const std::wstring name = parameters.Text(L"PortName");
      if (!SameName(name, port)) continue;
      if (const auto ms = parameters.Number(L"LatencyTimer")) return static_cast<unsigned>(*ms);
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<std::string> LatencyAdvice(const std::string& path, std::size_t blocks) {
  const auto ms = LatencyTimerMs(path);
  const auto number = PortForDevicePath(path);
  if (!ms || !number) return std::nullopt;
  return LatencyAdviceText("COM" + std::to_string(*number), *ms, blocks,
                           "To lower it to 1 ms (an administrator can): Device Manager, the port, "
                           "Port Settings, Advanced, Latency Timer.");
}

}  // namespace pelkar
