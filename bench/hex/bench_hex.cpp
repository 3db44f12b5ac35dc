// Throughput of the HEX codec on an 8 MiB image with 0xFF gaps, in MB (10^6 bytes) of HEX text a
// second: whole texts, and texts read and written in pieces as pelkar1 hex2bin / bin2hex do.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
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

const std::string& Text() {
  static const std::string text = pelkar::IntelHex{}.Bin2Hex(Image());
  return text;
}

// Times the loop of a benchmark and labels it with the MB (10^6 bytes) of HEX text it went
// through a second of wall time; the counters of the library would print "k/s" for that.
class TextRate {
 public:
  explicit TextRate(benchmark::State& state)
      : state_(state), start_(std::chrono::steady_clock::now()) {}
  ~TextRate() {
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start_;
    const double mb = static_cast<double>(Text().size()) * static_cast<double>(state_.iterations());
    char label[64];
    std::snprintf(label, sizeof label, "%.0f MB/s of HEX text", mb / 1e6 / took.count());
    state_.SetLabel(label);
  }

 private:
  benchmark::State& state_;
  std::chrono::steady_clock::time_point start_;
};

// The text handed out in pieces of at most 1 MiB, as a file read would.
pelkar::HexSource Pieces() {
  return [at = std::size_t{0}](std::span<char> out) mutable {
    const std::size_t n = std::min({out.size(), std::size_t{1} << 20, Text().size() - at});
    std::memcpy(out.data(), Text().data() + at, n);
    at += n;
    return n;
  };
}

pelkar::IntelHex Reader() {
  pelkar::IntelHex hex;
  hex.AddresBegin(0);
  hex.AddressEnd(static_cast<std::int32_t>(kImageSize));
  return hex;
}

void BM_Bin2Hex(benchmark::State& state) {
  const pelkar::IntelHex hex;
  const TextRate rate(state);
  for (auto _ : state) {
    const std::string text = hex.Bin2Hex(Image());
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_Bin2Hex)->Unit(benchmark::kMillisecond);

void BM_Bin2HexPieces(benchmark::State& state) {
  const pelkar::IntelHex hex;
  const TextRate rate(state);
  for (auto _ : state) {
    std::size_t written = 0;
    hex.Bin2Hex(Image(), [&written](std::string_view piece) {
      benchmark::DoNotOptimize(piece.data());
      written += piece.size();
    });
    benchmark::DoNotOptimize(written);
  }
}
BENCHMARK(BM_Bin2HexPieces)->Unit(benchmark::kMillisecond);

void BM_Hex2Bin(benchmark::State& state) {
  pelkar::IntelHex hex = Reader();
  const TextRate rate(state);
  for (auto _ : state) {
    const auto image = hex.Hex2Bin(Text());
    benchmark::DoNotOptimize(image.data());
  }
}
BENCHMARK(BM_Hex2Bin)->Unit(benchmark::kMillisecond);

void BM_Hex2BinPieces(benchmark::State& state) {
  pelkar::IntelHex hex = Reader();
  const TextRate rate(state);
  for (auto _ : state) {
    const auto image = hex.Hex2Bin(Pieces());
    benchmark::DoNotOptimize(image.data());
  }
}
BENCHMARK(BM_Hex2BinPieces)->Unit(benchmark::kMillisecond);

void BM_DataRangePieces(benchmark::State& state) {
  const TextRate rate(state);
  for (auto _ : state) {
    const auto range = pelkar::IntelHex::DataRange(Pieces());
    benchmark::DoNotOptimize(range);
  }
}
BENCHMARK(BM_DataRangePieces)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
