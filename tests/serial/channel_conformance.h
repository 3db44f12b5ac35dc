// The contract of serial/port_channel.h as one table, run against every channel the product
// has (channel_conformance_test.cpp). A channel takes part through a ChannelMaker: what opens
// it, and its far end, which the rows use as the device would.
//
// To add a channel (a network port, say):
// 1. Write a FarEnd for it: where the line ends at a pseudo-terminal (ser2net serving one),
//    derive from PtyFarEnd with address() the URL; HangUp() ends the far end so the channel
//    sees it go.
// 2. In a file of its own, build a ChannelMaker and register it before main():
//      const bool registered = pelkar::test::RegisterChannelMaker({
//          .name = "Network", .far_end = ..., .channel = ..., .open = ..., .refused = {...}});
//    and add the file to the suite's sources in tests/serial/CMakeLists.txt.
// Every row then runs for it as ChannelConformance.<Row>/<name>.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pty.h"
#include "serial/port_channel.h"

namespace pelkar::test {

using Bytes = std::vector<std::uint8_t>;

// The other end of the line, where the device would be.
class FarEnd {
 public:
  virtual ~FarEnd() = default;
  // What the channel is opened on: a device path, a URL.
  virtual std::string address() const = 0;
  virtual void Write(const Bytes& bytes) = 0;
  // Until n bytes have come or the time is up.
  virtual Bytes Read(std::size_t n, std::chrono::milliseconds within) = 0;
  // The line settings as the far end sees them.
  virtual LineSettings Settings() = 0;
  // 9600 baud, two stop bits and XON/XOFF both ways, as an earlier program might leave a port.
  virtual void LeaveForeignSettings() = 0;
  // The far end goes away under whoever has the channel open.
  virtual void HangUp() = 0;
};

// A far end that is a pseudo-terminal, the channel opened on its path; a maker whose line
// leads to one through something else (a server) overrides address().
class PtyFarEnd : public FarEnd {
 public:
  std::string address() const override { return pty_.path(); }
  void Write(const Bytes& bytes) override { pty_.Write(bytes); }
  Bytes Read(std::size_t n, std::chrono::milliseconds within) override {
    return pty_.Read(n, within);
  }
  LineSettings Settings() override { return pty_.Settings(); }
  void LeaveForeignSettings() override { pty_.LeaveForeignSettings(); }
  void HangUp() override { pty_.CloseMaster(); }

 protected:
  Pty pty_;
};

struct ChannelMaker {
  std::string name;  // letters and digits: the rows' suffix
  std::function<std::unique_ptr<FarEnd>()> far_end;
  std::function<std::unique_ptr<PortChannel>()> channel;  // closed
  // Opens channel on far as the product does (115200 baud); false when it fails.
  std::function<bool(PortChannel& channel, FarEnd& far)> open;
  // Opens that must fail once the system has given something: on a thing that is no port, on a
  // port another channel of this process holds. Each returns what the open returned.
  struct Refused {
    std::string what;
    std::function<bool(PortChannel& channel, FarEnd& far)> open;
  };
  std::vector<Refused> refused;
  // False for a channel that carries no line settings (socket://): the rows then check only
  // what crosses the line.
  bool has_line_settings = true;
  // False where the server owns the line between connections (ser2net sets it from its own
  // configuration at every connect): what close leaves is not the channel's to restore.
  bool restores_line_on_close = true;
};

// Call before main() (from a static initialiser); returns true.
bool RegisterChannelMaker(ChannelMaker maker);
const std::vector<ChannelMaker>& ChannelMakers();

}  // namespace pelkar::test
