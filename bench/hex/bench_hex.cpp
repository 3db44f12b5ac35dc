// Throughput of the HEX codec on an 8 MiB image with 0xFF gaps, in bytes of HEX text a second.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "hex/intel_hex.h"

namespace {

constexpr std::size_t kImageSize = 8 * 1024 * 1024;

// Data runs of 64 bytes to 4 KiB between gaps of 6 to 512 bytes of 0xFF, as a real firmware
// build with aligned sections looks; fixed seed, so every run measures the same image.
const std::vector<std::uint8_t>& Image() {
  static const std::vector<std::uint8_t> image = [] {
    std::vector<std::uint8_t> b(kImageSize, 0xFF);
    std::mt19937 rng(1);
    for (std::size_t i = 0; i < b.size();) {
      const std::size_t data = 64 + rng() % 4032;
      for (std::size_t k = 0; k < data && i < b.size(); ++k, ++i) {
        b[i] = static_cast<std::uint8_t>(rng() % 255);  // never 0xFF inside a data run
      }
      i += 6 + rng() % 507;
    }
    return b;
  }();
  return image;
}

void BM_Bin2Hex(benchmark::State& state) {
  const pelkar::IntelHex hex;
  std::size_t text_size = 0;
  for (auto _ : state) {
    const std::string text = hex.Bin2Hex(Image());
    text_size = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text_size));
}
BENCHMARK(BM_Bin2Hex)->Unit(benchmark::kMillisecond);

void BM_Hex2Bin(benchmark::State& state) {
  pelkar::IntelHex hex;
  const std::string text = hex.Bin2Hex(Image());
  hex.AddresBegin(0);
  hex.AddressEnd(static_cast<std::int32_t>(kImageSize));
  for (auto _ : state) {
    const auto image = hex.Hex2Bin(text);
    benchmark::DoNotOptimize(image.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Hex2Bin)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
