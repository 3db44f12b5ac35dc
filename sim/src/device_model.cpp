#include "sim/device_model.h"

#include <array>

#include "firmware/image.h"
#include "firmware/update_exchange.h"

namespace pelkar {

DeviceModel::DeviceModel(DeviceOptions options) : options_(options) {
  received_.reserve(options_.blocks * kBlockSize);
}

std::vector<std::uint8_t> DeviceModel::Start() {
  phase_ = Phase::AwaitHostHello;
  if (options_.bad_hello) return {0x00, wire::kDeviceHello};
  return {wire::kDeviceHello};
}

std::vector<std::uint8_t> DeviceModel::Request(std::uint8_t request) {
  if (!options_.noise) return {request};
  // Bytes the host must drop while it waits for the request: never the request itself,
  // and never a block request while the checksum request is due, or the reverse.
  static constexpr std::array<std::uint8_t, 5> kStray{0x00, wire::kCrcRequest, 0x55,
                                                      wire::kUpdateFailed, wire::kUpdateDone};
  std::uint8_t stray = kStray[noise_counter_++ % kStray.size()];
  if (request == wire::kCrcRequest && stray == wire::kCrcRequest) stray = 0x00;
  return {stray, request};
}

std::vector<std::uint8_t> DeviceModel::OnHostByte(std::uint8_t byte) {
  switch (phase_) {
    case Phase::AwaitHostHello:
      if (byte != wire::kHostHello) return {};
      if (options_.silent_after && *options_.silent_after == 0) {
        phase_ = Phase::Silent;
        return {};
      }
      phase_ = options_.blocks > 0 ? Phase::ReceiveBlock : Phase::ReceiveCrc;
      return Request(options_.blocks > 0 ? wire::kBlockRequest : wire::kCrcRequest);
    case Phase::ReceiveBlock:
      received_.push_back(byte);
      if (received_.size() % kBlockSize != 0) return {};
      if (options_.silent_after && blocks_received() >= *options_.silent_after) {
        phase_ = Phase::Silent;
        return {};
      }
      if (blocks_received() < options_.blocks) return Request(wire::kBlockRequest);
      phase_ = Phase::ReceiveCrc;
      return Request(wire::kCrcRequest);
    case Phase::ReceiveCrc: {
      crc_bytes_.push_back(byte);
      if (crc_bytes_.size() < 4) return {};
      host_crc_ = static_cast<std::int32_t>(
          std::uint32_t{crc_bytes_[0]} | std::uint32_t{crc_bytes_[1]} << 8 |
          std::uint32_t{crc_bytes_[2]} << 16 | std::uint32_t{crc_bytes_[3]} << 24);
      if (!received_.empty() && received_.size() <= kMaxImageSize) {
        computed_crc_ = ImageCrc(received_);
      }
      std::uint8_t verdict =
          !options_.fail && computed_crc_ == host_crc_ ? wire::kUpdateDone : wire::kUpdateFailed;
      if (options_.verdict) verdict = *options_.verdict;
      verdict_sent_ = verdict;
      phase_ = Phase::Done;
      return {verdict};
    }
    case Phase::AwaitStart:
    case Phase::Done:
    case Phase::Silent:
      break;
  }
  return {};
}

}  // namespace pelkar
