// The Telnet side of rfc2217:// as a table of what a server sends and what the codec makes of
// it, fed whole and byte by byte: a sequence split across reads must come out the same.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "serial/network_channel.h"

namespace pelkar {
namespace {

using Bytes = std::vector<std::uint8_t>;
using T = TelnetCodec;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Cmd(std::uint8_t verb, std::uint8_t option) {
  return {T::kIac, verb, option};
}

Bytes Answer(std::uint8_t command, Bytes value) {
  Bytes out{T::kIac, T::kSb, T::kComPort, static_cast<std::uint8_t>(command + 100)};
  out.insert(out.end(), value.begin(), value.end());
  out.insert(out.end(), {T::kIac, T::kSe});
  return out;
}

// What the client sends once the server agrees to the COM port option.
const Bytes kSettings = {
    T::kIac, T::kSb, 44, 1,  0, 1,       0xC2,   0, T::kIac, T::kSe,  // 115200 baud
    T::kIac, T::kSb, 44, 2,  8, T::kIac, T::kSe,                      // 8 data bits
    T::kIac, T::kSb, 44, 3,  1, T::kIac, T::kSe,                      // no parity
    T::kIac, T::kSb, 44, 4,  1, T::kIac, T::kSe,                      // one stop bit
    T::kIac, T::kSb, 44, 5,  1, T::kIac, T::kSe,                      // no flow control
    T::kIac, T::kSb, 44, 12, 3, T::kIac, T::kSe,                      // purge both queues
};
const Bytes kPurged = Answer(T::kPurgeData, {3});
const Bytes kAgreed = Cat({Cmd(T::kDo, T::kComPort), kPurged});  // then data is taken

struct Row {
  const char* name;
  Bytes in;
  Bytes data;
  Bytes reply;
  std::function<void(const TelnetCodec&)> check = nullptr;
};

const Row kRows[] = {
    {"data before the purge's answer is dropped, after it taken",
     Cat({Bytes{'a', 'b'}, Cmd(T::kDo, T::kComPort), Bytes{'c'}, kPurged, Bytes{'d', 'e'}}),
     {'d', 'e'},
     kSettings,
     [](const TelnetCodec& c) {
       EXPECT_EQ(c.com_port(), T::ComPort::kAccepted);
       EXPECT_TRUE(c.purged());
     }},
    {"a doubled IAC in data is one 255",
     Cat({kAgreed, Bytes{1, 255, 255, 2, 255, 255, 255, 255, 10, 13, 0, 13, 10}}),
     {1, 255, 2, 255, 255, 10, 13, 0, 13, 10},
     kSettings},
    {"other options are refused, each once it is offered",
     Cat({kAgreed, Cmd(T::kWill, 1), Cmd(T::kDo, 24), Cmd(T::kWill, 34), Cmd(T::kDo, 31),
          Bytes{'x'}}),
     {'x'},
     Cat({kSettings, Cmd(T::kDont, 1), Cmd(T::kWont, 24), Cmd(T::kDont, 34), Cmd(T::kWont, 31)})},
    {"the options asked for are agreed without another word",
     Cat({Cmd(T::kWill, T::kBinary), Cmd(T::kDo, T::kBinary), Cmd(T::kWill, T::kSuppressGoAhead),
          Cmd(T::kDo, T::kSuppressGoAhead), Cmd(T::kWill, T::kBinary), Cmd(T::kDo, T::kComPort),
          Cmd(T::kDo, T::kComPort)}),
     {},
     kSettings},
    {"an option the server drops is acknowledged, and offered again is taken",
     Cat({Cmd(T::kWill, T::kBinary), Cmd(T::kWont, T::kBinary), Cmd(T::kWill, T::kBinary)}),
     {},
     Cat({Cmd(T::kDont, T::kBinary), Cmd(T::kDo, T::kBinary)})},
    {"a refusal of what was asked is not answered",
     Cat({Cmd(T::kWont, T::kBinary), Cmd(T::kDont, T::kSuppressGoAhead)}),
     {},
     {}},
    {"a server without the COM port option gets the data at once",
     Cat({Bytes{'a'}, Cmd(T::kDont, T::kComPort), Bytes{'b', 255, 255}}),
     {'b', 255},
     {},
     [](const TelnetCodec& c) {
       EXPECT_EQ(c.com_port(), T::ComPort::kRefused);
       EXPECT_FALSE(c.purged());
     }},
    {"the settings' answers are kept",
     Cat({Cmd(T::kDo, T::kComPort), Answer(T::kSetBaudRate, {0, 1, 0xC2, 0}),
          Answer(T::kSetDataSize, {8}), Answer(T::kSetControl, {1}),
          Answer(T::kSetParity, {255, 255})}),
     {},
     kSettings,
     [](const TelnetCodec& c) {
       EXPECT_EQ(c.answer(T::kSetBaudRate), 115200u);
       EXPECT_EQ(c.answer(T::kSetDataSize), 8u);
       EXPECT_EQ(c.answer(T::kSetControl), 1u);
       EXPECT_EQ(c.answer(T::kSetParity), 255u);  // the doubled IAC undone
       EXPECT_FALSE(c.answer(T::kSetStopSize).has_value());
       EXPECT_FALSE(c.purged());
     }},
    {"notifications and other options' subnegotiations change nothing",
     Cat({Cmd(T::kDo, T::kComPort), Answer(7, {0x30}), Answer(6, {0x60}),
          Bytes{T::kIac, T::kSb, 24, 1, T::kIac, T::kSe}, Bytes{T::kIac, T::kSb, T::kIac, T::kSe},
          Bytes{T::kIac, T::kSb, 44, T::kIac, T::kSe}, Answer(50, {1}), kPurged, Bytes{'k'}}),
     {'k'},
     kSettings},
    {"commands without options and unknown ones are skipped",
     Cat({kAgreed,
          Bytes{T::kIac, 241, 'a', T::kIac, 249, 'b', T::kIac, 0x10, 'c', T::kIac, T::kSe, 'd'}}),
     {'a', 'b', 'c', 'd'},
     kSettings},
    {"an overlong subnegotiation is dropped whole",
     Cat({Cmd(T::kDo, T::kComPort), Bytes{T::kIac, T::kSb, 44, 112}, Bytes(200, 3),
          Bytes{T::kIac, T::kSe, 'z'}}),
     {},
     kSettings,
     [](const TelnetCodec& c) { EXPECT_FALSE(c.purged()); }},
    {"a command inside a subnegotiation ends it and is obeyed",
     Cat({Cmd(T::kDo, T::kComPort), Bytes{T::kIac, T::kSb, 44, 112, T::kIac, T::kWill, 1},
          Bytes{T::kIac, T::kSe}, kPurged, Bytes{'q'}}),
     {'q'},
     Cat({kSettings, Cmd(T::kDont, 1)})},
};

struct Result {
  Bytes data;
  Bytes reply;
};

Result Feed(TelnetCodec& codec, const Bytes& in, bool byte_by_byte) {
  Result r;
  if (!byte_by_byte) {
    codec.Decode(in, r.data, r.reply);
    return r;
  }
  for (std::uint8_t b : in)
    codec.Decode(std::span(&b, 1), r.data, r.reply);
  return r;
}

TEST(TelnetCodec, ServerBytesWholeAndByteByByte) {
  for (const Row& row : kRows) {
    for (const bool split : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (split ? ", byte by byte" : ", whole"));
      TelnetCodec codec;
      codec.Start();
      const Result r = Feed(codec, row.in, split);
      EXPECT_EQ(r.data, row.data);
      EXPECT_EQ(r.reply, row.reply);
      if (row.check) row.check(codec);
    }
  }
}

TEST(TelnetCodec, OffersAndEncodes) {
  TelnetCodec codec;
  EXPECT_EQ(codec.Start(), Cat({Cmd(T::kWill, 44), Cmd(T::kWill, 0), Cmd(T::kDo, 0),
                                Cmd(T::kWill, 3), Cmd(T::kDo, 3)}));
  Bytes out;
  TelnetCodec::Encode(Bytes{1, 255, 2, 255, 255, 250, 240}, out);
  EXPECT_EQ(out, (Bytes{1, 255, 255, 2, 255, 255, 255, 255, 250, 240}));
}

}  // namespace
}  // namespace pelkar
