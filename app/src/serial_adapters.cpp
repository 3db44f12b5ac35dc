#include "serial_adapters.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "serial/port_table.h"
#include "serial/serial_comm.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;

class VirtualPortDiscovery final : public PortDiscovery {
 public:
  void Query() override {
    entries_.clear();
    std::error_code ec;
    for (int n = 200; n <= 255; ++n) {
      const fs::path link = fs::path(VirtualPortFolder()) / ("COM" + std::to_string(n));
      if (!fs::exists(link, ec)) continue;
      entries_.emplace_back("Simulated device " + fs::read_symlink(link, ec).string() + " (COM" +
                                std::to_string(n) + ")",
                            static_cast<std::uint8_t>(n));
    }
  }
  std::uint8_t Count() const override {
    return entries_.empty() ? 1 : static_cast<std::uint8_t>(entries_.size());
  }
  std::string Name(std::uint8_t index) const override {
    return index < entries_.size() ? entries_[index].first : std::string();
  }
  std::uint8_t Number(std::uint8_t index) const override {
    return index < entries_.size() ? entries_[index].second : 0;
  }

 private:
  std::vector<std::pair<std::string, std::uint8_t>> entries_;
};

// The window's channel over SerialComm.
class SerialChannel final : public PortChannel {
 public:
  bool Open(std::uint8_t number, std::int32_t baud) override {
    return comm_.OpenPort(number, baud);
  }
  bool IsOpen() const override { return comm_.IsOpen(); }
  int Descriptor() const override { return comm_.Descriptor(); }

  ReadResult ReadWaiting(std::vector<std::uint8_t>& out) override {
    const std::int32_t waiting = comm_.GetCountBytes();
    if (waiting < 0) return ReadResult::kLost;
    if (waiting == 0) {
      // Readable with nothing to read: a hang-up, or a wake-up with nothing behind it.
      return comm_.CheckLost() ? ReadResult::kLost : ReadResult::kOk;
    }
    const std::size_t before = out.size();
    out.resize(before + static_cast<std::size_t>(waiting));
    // The bytes are already queued, so this returns at once.
    const bool ok = comm_.ReadPort(std::span(out).subspan(before));
    out.resize(before + comm_.LastReadCount());
    return ok ? ReadResult::kOk : ReadResult::kLost;
  }

  bool Write(std::span<const std::uint8_t> data) override { return comm_.WritePort(data); }
  void Close() override { comm_.ClosePort(); }

 private:
  SerialComm comm_;
};

}  // namespace

std::shared_ptr<PortDiscovery> MakeSystemPortDiscovery() {
  return std::make_shared<VirtualPortDiscovery>();
}
std::shared_ptr<PortChannel> MakeSerialChannel() {
  return std::make_shared<SerialChannel>();
}

}  // namespace pelkar
