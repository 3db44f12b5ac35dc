// The serial channel against a real pseudo-terminal, the same on every system.
#include "serial/serial_comm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "pty.h"
#include "serial/port_channel.h"

namespace pelkar {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using test::Pty;

long Ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Reads what the channel has within a second into out; returns how many came.
std::size_t ReadFor(PortChannel& channel, Bytes& out, std::size_t n) {
  const std::size_t at = out.size();
  PortChannel* const channels[] = {&channel};
  const auto deadline = Clock::now() + 1s;
  while (out.size() - at < n &&
         WaitForChannels(channels, deadline, nullptr) == WaitResult::kReady) {
    if (channel.ReadWaiting(out) == PortChannel::ReadResult::kLost) break;
  }
  return out.size() - at;
}

// Bytes written to the master reach the slave's queue a moment later.
void WaitForCount(SerialComm& port, int count) {
  for (int i = 0; i < 200 && port.GetCountBytes() < count; ++i) {
    std::this_thread::sleep_for(2ms);
  }
}

TEST(SerialComm, MissingPortsDoNotOpen) {
  SerialComm port;
  EXPECT_FALSE(port.OpenPort(0, 115200));
  EXPECT_EQ(port.LastErrno(), ENOENT);
  EXPECT_FALSE(port.IsOpen());
  Bytes one(1);
  EXPECT_FALSE(port.ReadPort(one));
  EXPECT_FALSE(port.WritePort(one));
  EXPECT_EQ(port.GetCountBytes(), 0);
  port.ClosePort();
  port.ClosePort();  // closing twice, or after a failed open, does nothing
}

TEST(SerialComm, CountsWithoutConsumingAndReadsWhatWaits) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200));
  pty.Write({1, 2, 3, 4, 5});
  WaitForCount(port, 5);
  EXPECT_EQ(port.GetCountBytes(), 5);
  EXPECT_EQ(port.GetCountBytes(), 5);
  Bytes in(5, 0);
  const auto start = Clock::now();
  EXPECT_TRUE(port.ReadPort(in));
  EXPECT_LT(Ms(start), 500);
  EXPECT_EQ(in, (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(port.GetCountBytes(), 0);
}

TEST(SerialComm, ReadsEndAfterOneSecondPlusAMillisecondAByte) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200));
  Bytes one{0xAA};
  auto start = Clock::now();
  EXPECT_TRUE(port.ReadPort(one));
  EXPECT_GE(Ms(start), 1000);
  EXPECT_EQ(one[0], 0xAA);

  pty.Write({7, 8});
  Bytes four{0xEE, 0xEE, 0xEE, 0xEE};
  start = Clock::now();
  EXPECT_TRUE(port.ReadPort(four));
  EXPECT_GE(Ms(start), 1004);
  EXPECT_LT(Ms(start), 1500);
  EXPECT_EQ(four, (Bytes{7, 8, 0xEE, 0xEE}));
}

TEST(SerialComm, OpensAfreshAfterClose) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200)) << port.LastError();
  port.ClosePort();
  EXPECT_FALSE(port.IsOpen());
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200)) << port.LastError();
  // Opening again on the same channel closes the old port first.
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200)) << port.LastError();
  pty.Write({0x42});
  WaitForCount(port, 1);
  Bytes in(1);
  ASSERT_TRUE(port.ReadPort(in));
  EXPECT_EQ(in[0], 0x42);
  ASSERT_TRUE(port.WritePort(Bytes{0x43}));
  EXPECT_EQ(pty.Read(1), Bytes{0x43});
}

TEST(SerialComm, TellsAPortLostAtOnce) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200));
  EXPECT_FALSE(port.PortLost());
  pty.CloseMaster();
  EXPECT_TRUE(port.PortLost());
  EXPECT_EQ(port.LastErrno(), EIO);
  Bytes one{0};
  const auto start = Clock::now();
  EXPECT_FALSE(port.ReadPort(one));
  EXPECT_FALSE(port.WritePort(one));
  EXPECT_EQ(port.WaitReadable(Clock::now() + 2s), WaitResult::kReady);
  EXPECT_LT(Ms(start), 200);
}

// A waiting driver is woken by the first byte, and every byte still comes out once, in order,
// whichever way it is read.
TEST(SerialCommWait, EndsWhenAByteArrivesAndLosesNoByte) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200));
  std::thread device([&pty] {
    std::this_thread::sleep_for(150ms);
    pty.Write({1});
  });
  auto start = Clock::now();
  EXPECT_EQ(port.WaitReadable(start + 5s), WaitResult::kReady);
  device.join();
  EXPECT_GE(Ms(start), 100);
  EXPECT_LT(Ms(start), 1000);
  pty.Write({2, 3});
  WaitForCount(port, 3);
  EXPECT_EQ(port.GetCountBytes(), 3);
  Bytes in(3);
  ASSERT_TRUE(port.ReadPort(in));
  EXPECT_EQ(in, (Bytes{1, 2, 3}));

  // Longer than a read's own time-out, so a wait outlasts it.
  device = std::thread([&pty] {
    std::this_thread::sleep_for(1300ms);
    pty.Write({4, 5});
  });
  start = Clock::now();
  EXPECT_EQ(port.WaitReadable(start + 5s), WaitResult::kReady);
  device.join();
  EXPECT_GE(Ms(start), 1200);
  WaitForCount(port, 2);
  std::uint8_t buf[8];
  std::size_t n = port.ReadAvailable(buf);
  n += port.ReadAvailable(std::span(buf).subspan(n));
  EXPECT_EQ(Bytes(buf, buf + n), (Bytes{4, 5}));
  EXPECT_EQ(port.ReadAvailable(buf), 0u);
}

TEST(SerialCommWait, EndsAtTheDeadlineOrWhenInterrupted) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200));
  WaitInterrupt stop;
  auto start = Clock::now();
  EXPECT_EQ(port.WaitReadable(start + 300ms, &stop), WaitResult::kTimeout);
  EXPECT_GE(Ms(start), 300);
  EXPECT_LT(Ms(start), 900);

  std::thread user([&stop] {
    std::this_thread::sleep_for(150ms);
    stop.Raise();
  });
  start = Clock::now();
  EXPECT_EQ(port.WaitReadable(start + 5s, &stop), WaitResult::kInterrupted);
  user.join();
  EXPECT_LT(Ms(start), 1000);
  EXPECT_TRUE(stop.Raised());
  EXPECT_EQ(port.WaitReadable(Clock::now() + 5s, &stop), WaitResult::kInterrupted)
      << "stays raised";
  stop.Clear();
  EXPECT_FALSE(stop.Raised());
  EXPECT_EQ(port.WaitReadable(Clock::now() + 50ms, &stop), WaitResult::kTimeout);

  // Nothing to read arrived during all this, and the port still works.
  EXPECT_EQ(port.GetCountBytes(), 0);
  pty.Write({9});
  EXPECT_EQ(port.WaitReadable(Clock::now() + 5s), WaitResult::kReady);
  std::uint8_t byte = 0;
  EXPECT_EQ(port.ReadAvailable(std::span(&byte, 1)), 1u);
  EXPECT_EQ(byte, 9);
}

// A channel of another kind, woken through a system object of its own as a network channel
// would be.
class StandInChannel final : public PortChannel {
 public:
  bool Open(std::uint8_t, std::int32_t) override { return true; }
  bool IsOpen() const override { return true; }
  int Descriptor() const override { return -1; }
  WaitResult WaitReadable(Clock::time_point, const WaitInterrupt&) override {
    return WaitResult::kReady;
  }
  ReadResult ReadWaiting(Bytes&) override {
    arrived.Clear();
    return ReadResult::kOk;
  }
  bool Write(std::span<const std::uint8_t>) override { return true; }
  void Close() override {}
  bool Ready() override { return arrived.Raised(); }
  std::intptr_t BeginWait() override {
    ++begun;
    return arrived.WaitObject();
  }
  bool EndWait(bool woken) override {
    ++ended;
    woken_ = woken_ || woken;
    return Ready();
  }

  WaitInterrupt arrived;  // raised: bytes have come
  int begun = 0;
  int ended = 0;
  bool woken_ = false;
};

TEST(WaitForChannels, WaitsForChannelsOfEveryKindAtOnce) {
  Pty first_pty;
  Pty second_pty;
  SerialChannel first;
  SerialChannel second;
  SerialChannel closed;
  StandInChannel other;
  ASSERT_TRUE(first.OpenPath(first_pty.path(), 115200));
  ASSERT_TRUE(second.OpenPath(second_pty.path(), 115200));
  PortChannel* const channels[] = {&first, &closed, nullptr, &second, &other};
  auto start = Clock::now();
  EXPECT_EQ(WaitForChannels(channels, start + 100ms, nullptr), WaitResult::kTimeout);
  EXPECT_GE(Ms(start), 100);
  EXPECT_EQ(other.begun, other.ended) << "every wait begun is ended";

  second_pty.Write({0x55});
  EXPECT_EQ(WaitForChannels(channels, Clock::now() + 5s, nullptr), WaitResult::kReady);
  Bytes got;
  EXPECT_EQ(first.ReadWaiting(got), PortChannel::ReadResult::kOk);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(ReadFor(second, got, 1), 1u);
  EXPECT_EQ(got, Bytes{0x55});

  // The other kind wakes the same wait from another thread, as a connection's data would.
  std::thread network([&other] {
    std::this_thread::sleep_for(150ms);
    other.arrived.Raise();
  });
  start = Clock::now();
  EXPECT_EQ(WaitForChannels(channels, start + 5s, nullptr), WaitResult::kReady);
  network.join();
  EXPECT_GE(Ms(start), 100);
  EXPECT_LT(Ms(start), 1000);
  EXPECT_TRUE(other.woken_);
  other.ReadWaiting(got);

  WaitInterrupt stop;
  stop.Raise();
  EXPECT_EQ(WaitForChannels(channels, Clock::now() + 5s, &stop), WaitResult::kInterrupted);

  first_pty.CloseMaster();
  start = Clock::now();
  EXPECT_EQ(WaitForChannels(channels, start + 5s, nullptr), WaitResult::kReady);
  EXPECT_LT(Ms(start), 1000);
  EXPECT_EQ(first.ReadWaiting(got), PortChannel::ReadResult::kLost);
  EXPECT_EQ(second.ReadWaiting(got), PortChannel::ReadResult::kOk);
  EXPECT_EQ(other.begun, other.ended);
}

// Reads that fail while a port still answers are counted for that port alone: one port's
// failures never make another lost.
TEST(ReadFailures, AreCountedForEachPortAlone) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, bool>> reads;  // port, read succeeded
    bool lost[2];
  } cases[] = {
      {"two failures on each", {{0, false}, {1, false}, {0, false}, {1, false}}, {false, false}},
      {"three in a row on one", {{1, false}, {0, false}, {0, false}, {0, false}}, {true, false}},
      {"a byte between",
       {{0, false}, {0, false}, {0, true}, {0, false}, {0, false}},
       {false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReadFailures ports[2];
    bool lost[2] = {false, false};
    for (const auto& [port, ok] : c.reads) {
      if (ok) {
        ports[port].Succeeded();
      } else if (ports[port].Failed(true)) {
        lost[port] = true;
      }
    }
    EXPECT_EQ(lost[0], c.lost[0]);
    EXPECT_EQ(lost[1], c.lost[1]);
  }
  ReadFailures gone;
  EXPECT_TRUE(gone.Failed(false)) << "a port that no longer answers is lost at once";
}

}  // namespace
}  // namespace pelkar
