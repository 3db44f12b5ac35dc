// The page's ports: those the browser granted it, reached over Web Serial by the page's
// script (app/web/serial_channel.js), which reads arrivals into a buffer of its own as they
// come and writes queued bytes in order.
#include <emscripten/em_js.h>
#include <emscripten/emscripten.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "granted_ports.h"
#include "serial_adapters.h"

// JavaScript inside: clang-format would split its operators.
// clang-format off
EM_JS(int, js_granted_count, (), { return Module.page.serial.granted().length; });
EM_JS(void, js_granted_port, (int index, int* number, int* vendor, int* product), {
  const port = Module.page.serial.granted()[index];
  HEAP32[number >> 2] = port.number;
  HEAP32[vendor >> 2] = port.usbVendorId === undefined ? -1 : port.usbVendorId;
  HEAP32[product >> 2] = port.usbProductId === undefined ? -1 : port.usbProductId;
});
EM_ASYNC_JS(int, js_open, (int number, int baud),
            { return (await Module.page.serial.open(number, baud)) ? 1 : 0; });
EM_JS(int, js_is_open, (), { return Module.page.serial.isOpen() ? 1 : 0; });
EM_JS(int, js_available, (), { return Module.page.serial.available(); });
EM_JS(void, js_take, (std::uint8_t* out, int size),
      { HEAPU8.set(Module.page.serial.take(size), out); });
EM_JS(int, js_lost, (), { return Module.page.serial.lost() ? 1 : 0; });
EM_JS(int, js_write, (const std::uint8_t* data, int size),
      { return Module.page.serial.write(HEAPU8.slice(data, data + size)) ? 1 : 0; });
EM_ASYNC_JS(void, js_close, (), { await Module.page.serial.close(); });
EM_ASYNC_JS(int, js_wait_readable, (double ms),
            { return (await Module.page.serial.waitReadable(ms)) ? 1 : 0; });
// clang-format on

namespace pelkar {
namespace {

std::vector<GrantedPort> Granted() {
  std::vector<GrantedPort> ports;
  const int count = js_granted_count();
  for (int i = 0; i < count; ++i) {
    int number = 0, vendor = -1, product = -1;
    js_granted_port(i, &number, &vendor, &product);
    GrantedPort port;
    port.number = static_cast<std::uint8_t>(std::clamp(number, 0, 255));
    if (vendor >= 0 && product >= 0) {
      port.usb_vendor = static_cast<std::uint16_t>(vendor);
      port.usb_product = static_cast<std::uint16_t>(product);
    }
    ports.push_back(port);
  }
  return ports;
}

// One port at a time, as the window opens one.
class WebSerialChannel final : public PortChannel {
 public:
  bool Open(std::uint8_t number, std::int32_t baud) override {
    return number != 0 && js_open(number, baud) != 0;
  }
  bool IsOpen() const override { return js_is_open() != 0; }
  int Descriptor() const override { return -1; }
  // The page cannot see a WaitInterrupt (it is raised from another thread or a signal, which
  // the page has neither of); only the deadline ends a quiet wait.
  WaitResult WaitReadable(std::chrono::steady_clock::time_point deadline,
                          const WaitInterrupt&) override {
    const auto left =
        std::chrono::duration<double, std::milli>(deadline - std::chrono::steady_clock::now());
    return js_wait_readable(std::max(0.0, left.count())) != 0 ? WaitResult::kReady
                                                              : WaitResult::kTimeout;
  }
  ReadResult ReadWaiting(std::vector<std::uint8_t>& out) override {
    if (const int size = js_available(); size > 0) {
      const std::size_t at = out.size();
      out.resize(at + static_cast<std::size_t>(size));
      js_take(out.data() + at, size);
    }
    return js_lost() != 0 ? ReadResult::kLost : ReadResult::kOk;
  }
  bool Write(std::span<const std::uint8_t> data) override {
    return js_write(data.data(), static_cast<int>(data.size())) != 0;
  }
  void Close() override { js_close(); }
  // Arrivals reach the page's own buffer, which no system object stands for; its waits go
  // through WaitReadable alone.
  bool Ready() override { return IsOpen() && (js_available() > 0 || js_lost() != 0); }
  std::intptr_t BeginWait() override { return -1; }
  bool EndWait(bool) override { return Ready(); }
};

}  // namespace

std::shared_ptr<PortDiscovery> MakeSystemPortDiscovery() {
  return std::make_shared<GrantedPortList>(Granted);
}
std::shared_ptr<PortChannel> MakeSerialChannel() {
  return std::make_shared<WebSerialChannel>();
}

}  // namespace pelkar
