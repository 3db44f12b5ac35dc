// Random device byte streams, with a Stop at a random point, into the host's exchange: it
// never reads past the image (AddressSanitizer watches the copy), never sends more than
// 1 + L + 4 bytes, only sends what the image and the checksum hold, and never answers once
// it has ended.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "firmware/update_exchange.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::size_t blocks = 1 + data[0] % 4;
  const std::size_t stop_at = data[1] == 0 ? SIZE_MAX : data[1];
  std::vector<std::uint8_t> image(blocks * 256);
  for (std::size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<std::uint8_t>(i * 13);
  pelkar::UpdateExchange x(image, 0x01020304);
  x.Start(true);
  std::size_t sent = 0;
  for (std::size_t i = 2; i < size; ++i) {
    if (i == stop_at) x.Stop();
    const bool was_running = x.running();
    const auto offset = x.image_bytes_sent();
    const auto out = x.Feed(data[i]);
    if (!was_running && !out.empty()) std::abort();
    if (out.size() == 256 &&
        !std::equal(out.begin(), out.end(), image.begin() + static_cast<long>(offset))) {
      std::abort();
    }
    sent += out.size();
  }
  if (sent != x.bytes_sent() || sent > 1 + image.size() + 4) std::abort();
  if (x.image_bytes_sent() > image.size()) std::abort();
  return 0;
}
