#include "serial/port_channel.h"

namespace pelkar {

PortChannel::ReadResult SerialChannel::ReadWaiting(std::vector<std::uint8_t>& out) {
  std::uint8_t buf[4096];
  while (const std::size_t n = comm_.ReadAvailable(buf))
    out.insert(out.end(), buf, buf + n);
  // Readable with nothing to read is a hang-up, or a wake-up with nothing behind it.
  return comm_.PortLost() ? ReadResult::kLost : ReadResult::kOk;
}

}  // namespace pelkar
