#include "sim/device_model.h"

#include "firmware/image.h"

namespace pelkar {

DeviceModel::DeviceModel(DeviceOptions options) : opt_(options) {}

std::vector<std::uint8_t> DeviceModel::Start() {
  phase_ = Phase::AwaitAck;
  if (opt_.badHello) {
    finished_ = true;
    phase_ = Phase::Done;
    return {0x42};
  }
  return {10};
}

void DeviceModel::Request(std::vector<std::uint8_t>& out) {
  if (requested_ < opt_.blocks) {
    if (opt_.silentAfter && requested_ >= *opt_.silentAfter) {
      silent_ = finished_ = true;
      phase_ = Phase::Done;
      return;
    }
    // The early 13 tests that the host drops it while blocks are still due.
    if (opt_.noise) out.insert(out.end(), {0x00, 13, 0x7F});
    out.push_back(12);
    ++requested_;
    pending_ = kBlockSize;
    phase_ = Phase::Receiving;
  } else {
    if (opt_.noise) out.insert(out.end(), {0x55, 12 + 0x80});
    out.push_back(13);
    phase_ = Phase::AwaitChecksum;
  }
}

std::vector<std::uint8_t> DeviceModel::OnHostBytes(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> out;
  for (const auto b : bytes) {
    switch (phase_) {
      case Phase::AwaitAck:
        if (b == 11) Request(out);
        break;
      case Phase::Receiving:
        image_.push_back(b);
        if (--pending_ == 0) Request(out);
        break;
      case Phase::AwaitChecksum:
        crc_.push_back(b);
        if (crc_.size() == 4) {
          const auto want = ChecksumWireBytes(ImageCrc(image_));
          matched_ = std::equal(want.begin(), want.end(), crc_.begin());
          out.push_back(opt_.verdict
                            ? *opt_.verdict
                            : (opt_.fail || !*matched_ ? std::uint8_t{14} : std::uint8_t{15}));
          finished_ = true;
          phase_ = Phase::Done;
        }
        break;
      case Phase::Idle:
      case Phase::Done:
        break;
    }
  }
  return out;
}

}  // namespace pelkar
