#include "firmware/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pelkar {
namespace {

// Digests as sha256sum prints them; lengths around the 55/56/64-byte padding edges.
TEST(Sha256, MatchesKnownDigests) {
  struct Case {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(55, 'x'), "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},
      {std::string(56, 'x'), "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e"},
      {std::string(63, 'x'), "75220b47218278e656f2013bb8f0c455a25eaf01e86c64924e9d48d89776d6f2"},
      {std::string(64, 'x'), "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c"},
      {std::string(65, 'x'), "9537c5fdf120482f7d58d25e9ed583f52c02b4e304ea814db1633ad565aed7e9"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sha256Hex(c.text), c.digest) << c.text.size() << " bytes";
  }
}

// Fed in pieces of every size, the digest is the one of the whole.
TEST(Sha256, PiecesGiveTheDigestOfTheWhole) {
  std::vector<std::uint8_t> bytes(40960);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(i % 256);
  const std::string whole = "90b3b375e4565eb5cf64f68b23809e221918ee6a0b78fac98debf002ffaf2c4d";
  EXPECT_EQ(Sha256Hex(bytes), whole);
  for (const std::size_t piece : {1u, 3u, 63u, 64u, 65u, 1000u}) {
    Sha256 h;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      h.Update(std::span(bytes).subspan(at, std::min(piece, bytes.size() - at)));
    }
    std::string hex;
    for (const std::uint8_t b : h.Digest()) {
      static constexpr char kDigits[] = "0123456789abcdef";
      hex += kDigits[b >> 4];
      hex += kDigits[b & 15];
    }
    EXPECT_EQ(hex, whole) << piece;
  }
}

}  // namespace
}  // namespace pelkar
