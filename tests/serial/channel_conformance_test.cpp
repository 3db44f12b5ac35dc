// One row per clause of the channel contract (serial/port_channel.h), for every channel in
// ChannelMakers(): the same rows on every system.
#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <ostream>
#include <thread>

#include "channel_conformance.h"

namespace pelkar::test {

std::vector<ChannelMaker>& Makers() {
  static std::vector<ChannelMaker> makers;
  return makers;
}

bool RegisterChannelMaker(ChannelMaker maker) {
  Makers().push_back(std::move(maker));
  return true;
}

const std::vector<ChannelMaker>& ChannelMakers() {
  return Makers();
}

void PrintTo(const LineSettings& s, std::ostream* out) {
  *out << s.baud << " baud, " << s.data_bits << (s.parity ? " with parity" : " no parity")
       << (s.two_stop_bits ? ", 2 stop bits" : ", 1 stop bit") << (s.xon_xoff ? ", XON/XOFF" : "")
       << (s.raw ? ", raw" : ", not raw");
}

void PrintTo(const ChannelMaker& maker, std::ostream* out) {
  *out << maker.name;
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

long Ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// What the channel reads until n bytes have come or the time is up, waiting as the drivers do.
Bytes ReadFrom(PortChannel& channel, std::size_t n, std::chrono::milliseconds within = 2s) {
  Bytes got;
  const auto deadline = Clock::now() + within;
  PortChannel* const channels[] = {&channel};
  while (got.size() < n && WaitForChannels(channels, deadline, nullptr) == WaitResult::kReady) {
    if (channel.ReadWaiting(got) == PortChannel::ReadResult::kLost) break;
  }
  return got;
}

// An image as the device is sent it: every flow-control and command byte, and long runs.
Bytes ImageLike(std::size_t size) {
  const std::uint8_t awkward[] = {255, 0x11, 0x13, 10, 11, 12, 13, 14, 15, 0, 0x0D, 0x0A, 0x03};
  Bytes image(size);
  for (std::size_t i = 0; i < size; ++i) {
    image[i] = i % 3 == 0 ? awkward[(i / 3) % std::size(awkward)]
                          : static_cast<std::uint8_t>((i * 71) & 0xFF);
  }
  return image;
}

const LineSettings kProductLine{115200, 8, false, false, false, true};

class ChannelConformance : public ::testing::TestWithParam<ChannelMaker> {
 protected:
  void SetUp() override {
    far_ = GetParam().far_end();
    channel_ = GetParam().channel();
  }
  bool Open() { return GetParam().open(*channel_, *far_); }
  bool settings() const { return GetParam().has_line_settings; }

  std::unique_ptr<FarEnd> far_;
  std::unique_ptr<PortChannel> channel_;
};

TEST_P(ChannelConformance, OpensAt115200With8N1RawAndNoSoftwareFlowControl) {
  if (settings()) {
    far_->LeaveForeignSettings();
    ASSERT_EQ(far_->Settings().baud, 9600u);
  }
  ASSERT_TRUE(Open());
  if (settings()) {
    EXPECT_EQ(far_->Settings(), kProductLine);
  }
  // Nothing is translated, swallowed or acted on either way; a stray XOFF from the device does
  // not stall what the host sends next.
  const Bytes awkward{0x13, 0x11, 0x0D, 0x0A, 0x03, 0x04, 0x1A, 0x7F, 0xFF, 0x00, 0x1C, 0x13};
  far_->Write(awkward);
  EXPECT_EQ(ReadFrom(*channel_, awkward.size()), awkward);
  ASSERT_TRUE(channel_->Write(awkward));
  EXPECT_EQ(far_->Read(awkward.size(), 2s), awkward);
}

TEST_P(ChannelConformance, TakesNoByteFromBeforeTheOpen) {
  far_->Write({0x0C, 0x0C, 0x0C, 'o', 'l', 'd'});
  std::this_thread::sleep_for(100ms);  // into the channel's queue
  ASSERT_TRUE(Open());
  far_->Write({0x0A});
  EXPECT_EQ(ReadFrom(*channel_, 1), Bytes{0x0A});

  // What came after the last read of an earlier open (a request that crossed a Stop) is as old.
  far_->Write({0x0C, 0x0C});
  std::this_thread::sleep_for(100ms);
  channel_->Close();
  ASSERT_TRUE(Open());
  far_->Write({0x0A});
  EXPECT_EQ(ReadFrom(*channel_, 1), Bytes{0x0A});
}

TEST_P(ChannelConformance, AFailedOpenLeavesNothingOpen) {
  for (const auto& refused : GetParam().refused) {
    SCOPED_TRACE(refused.what);
    const std::size_t handles = OpenHandleCount();
    const LineSettings before = settings() ? far_->Settings() : LineSettings{};
    EXPECT_FALSE(refused.open(*channel_, *far_));
    EXPECT_FALSE(channel_->IsOpen());
    EXPECT_FALSE(channel_->Ready());
    EXPECT_EQ(OpenHandleCount(), handles);
    if (settings()) {
      EXPECT_EQ(far_->Settings(), before);
    }
    channel_->Close();  // does nothing
  }
  ASSERT_TRUE(Open());
  ASSERT_TRUE(channel_->Write(Bytes{0x0B}));
  EXPECT_EQ(far_->Read(1, 2s), Bytes{0x0B});
}

TEST_P(ChannelConformance, WritesArriveWholeAndInOrder) {
  ASSERT_TRUE(Open());
  const Bytes image = ImageLike(40 * 256);
  Bytes arrived;
  // The far end reads as the writes go: a line's buffers hold less than the image.
  std::thread device([&] { arrived = far_->Read(image.size(), 20s); });
  const std::size_t whole = 24 * 256;
  bool written = channel_->Write(std::span(image).first(whole));
  for (std::size_t at = whole; at < image.size(); at += 256)  // block by block, as sent
    written = channel_->Write(std::span(image).subspan(at, 256)) && written;
  device.join();
  EXPECT_TRUE(written);
  ASSERT_EQ(arrived.size(), image.size());
  EXPECT_TRUE(arrived == image) << "the bytes arrived changed or out of order";
}

TEST_P(ChannelConformance, TellsAFarEndGoneAsLostWithinASecond) {
  ASSERT_TRUE(Open());
  far_->HangUp();
  const auto start = Clock::now();
  PortChannel* const channels[] = {channel_.get()};
  EXPECT_EQ(WaitForChannels(channels, start + 5s, nullptr), WaitResult::kReady);
  EXPECT_LT(Ms(start), 1000);
  EXPECT_TRUE(channel_->Ready());
  Bytes got;
  EXPECT_EQ(channel_->ReadWaiting(got), PortChannel::ReadResult::kLost);
  EXPECT_FALSE(channel_->Write(Bytes{0x0B}));
  channel_->Close();
  EXPECT_FALSE(channel_->IsOpen());
}

TEST_P(ChannelConformance, CloseRestoresWhatOpenChanged) {
  if (!settings()) GTEST_SKIP() << "no line settings";
  far_->LeaveForeignSettings();
  const LineSettings before = far_->Settings();
  ASSERT_TRUE(Open());
  ASSERT_EQ(far_->Settings(), kProductLine);
  channel_->Close();
  EXPECT_EQ(far_->Settings(), before);
  ASSERT_TRUE(Open()) << "and the port opens again";
  EXPECT_EQ(far_->Settings(), kProductLine);
}

INSTANTIATE_TEST_SUITE_P(Channels, ChannelConformance, ::testing::ValuesIn(ChannelMakers()),
                         [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace pelkar::test
