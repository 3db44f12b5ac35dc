// Random device byte streams and Stop presses against the host side of the exchange.
// Input: byte 0 picks the image size (1..8 blocks); each later byte is fed, except that
// 0xFE followed by 0xFE presses Stop.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "firmware/update_exchange.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t blocks = 1 + (data[0] % 8);
  std::vector<std::uint8_t> image(blocks * 256);
  for (std::size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<std::uint8_t>(i);
  pelkar::UpdateExchange ex(image, 12345);
  ex.Start();
  std::size_t sent = 0;
  std::size_t nextOffset = 0;
  for (std::size_t i = 1; i < size; ++i) {
    pelkar::ExchangeStep step;
    if (data[i] == 0xFE && i + 1 < size && data[i + 1] == 0xFE) {
      step = ex.Stop();
      ++i;
    } else {
      const auto before = ex.state();
      step = ex.OnByte(data[i]);
      // A block is sent whole and in order.
      if (before == pelkar::ExchangeState::AwaitBlockRequest && !step.send.empty()) {
        if (step.send.size() != 256) std::abort();
        for (std::size_t k = 0; k < 256; ++k)
          if (step.send[k] != image[nextOffset + k]) std::abort();
        nextOffset += 256;
      }
    }
    sent += step.send.size();
    if (sent > 1 + image.size() + 4) std::abort();
    if (ex.bytesSent() > image.size()) std::abort();
    if (ex.finished() && ex.running()) std::abort();
  }
  return 0;
}
