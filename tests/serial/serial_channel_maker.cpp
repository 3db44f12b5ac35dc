// The machine's port in the conformance table: SerialChannel over a real pseudo-terminal (under
// Wine through a COM link to one on the Linux side).
#include "channel_conformance.h"

namespace pelkar::test {
namespace {

bool OpenOn(PortChannel& channel, const std::string& path) {
  return static_cast<SerialChannel&>(channel).OpenPath(path, 115200);
}

std::vector<ChannelMaker::Refused> RefusedOpens() {
  std::vector<ChannelMaker::Refused> refused{
      {"no serial port", [](PortChannel& c, FarEnd&) { return OpenOn(c, NotAPort()); }}};
  if (RefusesASecondOpenInProcess()) {
    refused.push_back({"a port another channel holds", [](PortChannel& c, FarEnd& far) {
                         SerialChannel holder;
                         if (!holder.OpenPath(far.address(), 115200)) return true;  // fails
                         return OpenOn(c, far.address());
                       }});
  }
  return refused;
}

const bool registered = RegisterChannelMaker({
    .name = "SerialPort",
    .far_end = [] { return std::make_unique<PtyFarEnd>(); },
    .channel = [] { return std::make_unique<SerialChannel>(); },
    .open = [](PortChannel& channel, FarEnd& far) { return OpenOn(channel, far.address()); },
    .refused = RefusedOpens(),
});

}  // namespace
}  // namespace pelkar::test
