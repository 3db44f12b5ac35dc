#include "serial/windows_port_source.h"

#include <wbemidl.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/utf16_windows.h"
#include "serial/port_map.h"

namespace pelkar {
namespace {

constexpr long kWmiAnswerMs = 10000;  // a service that says nothing for this long is given up

[[noreturn]] void ThrowHr(const std::string& what, HRESULT hr) {
  throw std::runtime_error(what + ": " + SystemMessage(static_cast<DWORD>(hr)));
}

// COM on this thread for as long as the object lives. A thread that runs COM in the other
// mode already (a window's single-threaded apartment) is used as it is.
class ComScope {
 public:
  ComScope() {
    const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr)) {
      release_ = true;  // S_FALSE too: every successful call is paired
    } else if (hr != RPC_E_CHANGED_MODE) {
      ThrowHr("Cannot start COM", hr);
    }
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  ~ComScope() {
    if (release_) ::CoUninitialize();
  }

 private:
  bool release_ = false;
};

template <class T>
struct ComRelease {
  void operator()(T* p) const { p->Release(); }
};
template <class T>
using ComPtr = std::unique_ptr<T, ComRelease<T>>;

class Bstr {
 public:
  explicit Bstr(const wchar_t* text) : text_(::SysAllocString(text)) {
    if (text_ == nullptr) throw std::bad_alloc();
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { ::SysFreeString(text_); }
  BSTR get() const { return text_; }

 private:
  BSTR text_;
};

// A text property of a WMI object; nothing when it is missing or not text (a device without
// a class has a null ClassGuid).
std::optional<std::string> TextProperty(IWbemClassObject& object, const wchar_t* name) {
  VARIANT value;
  ::VariantInit(&value);
  std::optional<std::string> text;
  if (SUCCEEDED(object.Get(name, 0, &value, nullptr, nullptr)) && value.vt == VT_BSTR &&
      value.bstrVal != nullptr) {
    text = Utf8(std::wstring_view(value.bstrVal, ::SysStringLen(value.bstrVal)));
  }
  ::VariantClear(&value);
  return text;
}

}  // namespace

std::vector<PortDevice> WmiPortSource::Devices() {
  ComScope com;
  IWbemLocator* raw_locator = nullptr;
  HRESULT hr = ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWbemLocator, reinterpret_cast<void**>(&raw_locator));
  if (FAILED(hr)) ThrowHr("No WMI", hr);
  const ComPtr<IWbemLocator> locator(raw_locator);

  IWbemServices* raw_services = nullptr;
  hr = locator->ConnectServer(Bstr(L"ROOT\\CIMV2").get(), nullptr, nullptr, nullptr, 0, nullptr,
                              nullptr, &raw_services);
  if (FAILED(hr)) ThrowHr("Cannot reach WMI", hr);
  const ComPtr<IWbemServices> services(raw_services);
  // Impersonation for this proxy's calls, without changing the whole process's COM security.
  hr = ::CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                           RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  if (FAILED(hr)) ThrowHr("Cannot impersonate for WMI", hr);

  IEnumWbemClassObject* raw_devices = nullptr;
  hr = services->CreateInstanceEnum(Bstr(L"Win32_PnPEntity").get(),
                                    WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                    &raw_devices);
  if (FAILED(hr)) ThrowHr("Cannot list the Plug and Play devices", hr);
  const ComPtr<IEnumWbemClassObject> devices(raw_devices);

  std::vector<PortDevice> found;
  for (;;) {
    IWbemClassObject* raw_device = nullptr;
    ULONG count = 0;
    hr = devices->Next(kWmiAnswerMs, 1, &raw_device, &count);
    if (FAILED(hr)) ThrowHr("Cannot list the Plug and Play devices", hr);
    if (hr == WBEM_S_TIMEDOUT) throw std::runtime_error("WMI did not answer");
    if (count == 0) break;
    const ComPtr<IWbemClassObject> device(raw_device);
    found.push_back({TextProperty(*device, L"ClassGuid"), TextProperty(*device, L"Name")});
  }
  return found;
}

std::vector<PortDevice> RegistryPortSource::Devices() {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS) {
    return {};
  }
  std::vector<std::pair<int, PortDevice>> ports;
  for (DWORD i = 0;; ++i) {
    wchar_t device[256];
    DWORD device_size = static_cast<DWORD>(std::size(device));
    wchar_t port[64];
    DWORD port_bytes = sizeof port;
    DWORD type = 0;
    const LONG r = ::RegEnumValueW(key, i, device, &device_size, nullptr, &type,
                                   reinterpret_cast<BYTE*>(port), &port_bytes);
    if (r == ERROR_MORE_DATA) continue;  // longer than any port name
    if (r != ERROR_SUCCESS) break;
    if (type != REG_SZ) continue;
    std::wstring_view name(port, port_bytes / sizeof(wchar_t));
    while (!name.empty() && name.back() == L'\0')
      name.remove_suffix(1);
    const std::string port_name = Utf8(name);
    const auto number = PortForDevicePath(port_name);
    ports.push_back({number ? *number : 256,
                     RegistryPortDevice(Utf8(std::wstring_view(device, device_size)), port_name)});
  }
  ::RegCloseKey(key);
  // The map's order is the drivers' order of arrival; a list by number reads better.
  std::stable_sort(ports.begin(), ports.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<PortDevice> devices;
  for (auto& [number, device] : ports)
    devices.push_back(std::move(device));
  return devices;
}

std::vector<PortDevice> WindowsPortSource::Devices() {
  std::vector<PortDevice> devices;
  try {
    devices = WmiPortSource().Devices();
  } catch (const std::exception&) {
    // No inventory: the registry still knows the ports.
  }
  if (!ParsePortList(devices).empty()) return devices;
  return RegistryPortSource().Devices();
}

std::shared_ptr<PortSource> SystemPortSource() {
  return std::make_shared<WindowsPortSource>();
}

}  // namespace pelkar
