// Network ports in the conformance table: NetworkChannel through a real ser2net on 127.0.0.1 to
// a pseudo-terminal, as rfc2217:// and as socket:// (whose line is set up by ser2net, so only
// what crosses it is checked). No rows where ser2net is not installed; the end-to-end suite
// says so in one line.
#include "../serial/channel_conformance.h"
#include "ser2net.h"
#include "serial/network_channel.h"

namespace pelkar::test {
namespace {

// The pseudo-terminal ser2net serves; when its end goes, ser2net hangs up its client.
class Ser2netFarEnd final : public PtyFarEnd {
 public:
  // With rfc2217 ser2net sets another line at each connect than the product's, so that only
  // the channel's own settings bring it to 115200 8N1.
  explicit Ser2netFarEnd(bool rfc2217)
      : server_({{pty_.path(), rfc2217, false, rfc2217 ? "9600n82" : "115200n81"}}) {}
  std::string address() const override { return server_.url(); }

 private:
  Ser2net server_;
};

bool OpenOn(PortChannel& channel, const std::string& address) {
  std::string why;
  const auto url = ParseNetworkUrl(address, &why);
  return url && static_cast<NetworkChannel&>(channel).OpenUrl(*url);
}

ChannelMaker Maker(bool rfc2217) {
  return {
      .name = rfc2217 ? "Rfc2217" : "Socket",
      .far_end = [rfc2217] { return std::make_unique<Ser2netFarEnd>(rfc2217); },
      .channel = [] { return std::make_unique<NetworkChannel>(); },
      .open = [](PortChannel& channel, FarEnd& far) { return OpenOn(channel, far.address()); },
      .refused = {{"nothing listening",
                   [rfc2217](PortChannel& c, FarEnd&) {
                     return OpenOn(c, std::string(rfc2217 ? "rfc2217" : "socket") +
                                          "://127.0.0.1:" + std::to_string(Ser2net::FreePort()));
                   }}},
      .has_line_settings = rfc2217,
      .restores_line_on_close = false,
  };
}

const bool registered =
    Ser2net::Installed() && RegisterChannelMaker(Maker(true)) && RegisterChannelMaker(Maker(false));

}  // namespace
}  // namespace pelkar::test
