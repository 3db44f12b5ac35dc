// The update session's rules through the driver, against a scripted device and a clock of the
// test's own: every case fed as it arrives and again one byte a read, with the same result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <string>
#include <vector>

#include "firmware/update_session.h"
#include "serial/session_driver.h"

namespace pelkar {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

SessionClock::time_point g_now;
SessionClock::time_point Now() {
  return g_now;
}

// The far end as a script; with one_at_a_time a read returns one byte.
class ScriptedChannel final : public PortChannel {
 public:
  bool Open(std::uint8_t, std::int32_t) override { return true; }
  bool IsOpen() const override { return true; }
  int Descriptor() const override { return -1; }
  WaitResult WaitReadable(SessionClock::time_point, const WaitInterrupt&) override {
    return WaitResult::kReady;
  }
  ReadResult ReadWaiting(Bytes& out) override {
    while (!waiting.empty()) {
      out.push_back(waiting.front());
      waiting.pop_front();
      if (one_at_a_time) return ReadResult::kOk;
    }
    return lost ? ReadResult::kLost : ReadResult::kOk;
  }
  bool Write(std::span<const std::uint8_t> data) override {
    sent += data.size();
    return true;
  }
  void Close() override {}
  bool Ready() override { return true; }
  std::intptr_t BeginWait() override { return -1; }
  bool EndWait(bool) override { return true; }

  std::deque<std::uint8_t> waiting;
  bool lost = false;
  bool one_at_a_time = false;
  std::size_t sent = 0;
};

// Every event that decides something, as a word, in order.
std::string Words(const std::vector<SessionEvent>& events) {
  std::string said;
  for (const SessionEvent& event : events) {
    if (std::holds_alternative<UnitBegun>(event)) said += "begun ";
    if (const auto* notice = std::get_if<SessionNotice>(&event))
      said += *notice == SessionNotice::TakenAsText ? "text " : "no-unit ";
    const auto* end = std::get_if<UnitEnd>(&event);
    if (!end) continue;
    said += UnitResultOf(end->result).name;
    if (!end->unit) said += "-between";
    if (end->result == UnitResult::Timeout)
      said += end->heard ? "(" + end->awaited + ")" : "(hello)";
    said += " ";
  }
  return said;
}

struct Step {
  int at_ms;
  Bytes bytes;
  enum { kBytes, kLost, kInterrupt } what = kBytes;
};

SessionRules Rules(bool repeat, int hello_ms, int byte_ms) {
  SessionRules r;
  r.repeat = repeat;
  if (hello_ms > 0) r.hello_timeout = milliseconds(hello_ms);
  if (byte_ms > 0) r.byte_timeout = milliseconds(byte_ms);
  return r;
}

struct Case {
  const char* name;
  SessionRules rules;
  std::size_t blocks;
  std::vector<Step> steps;  // the last one's time is also when the test ends
  std::string said;
  std::size_t sent;
  bool done;
};

const std::uint8_t H = 10, B = 12, C = 13, F = 14, K = 15;
const std::size_t kBlk = 256, kCrc = 4;

const Case kCases[] = {
    {"one update",
     Rules(false, 0, 0),
     2,
     {{0, {H, B}}, {5, {B, C, K}}},
     "ok ",
     1 + 2 * kBlk + kCrc,
     true},
    {"refused", Rules(false, 0, 0), 1, {{0, {H, B, C, F}}}, "failed ", 1 + kBlk + kCrc, true},
    {"a wrong first byte", Rules(false, 0, 0), 1, {{0, {0x00, H}}}, "protocol-error ", 0, true},
    {"the window waits for ever", Rules(false, 0, 0), 1, {{0, {H}}, {600000, {}}}, "", 1, false},
    {"no hello", Rules(false, 1000, 300), 1, {{999, {}}, {1000, {}}}, "timeout(hello) ", 0, true},
    {"silence after the hello",
     Rules(false, 1000, 300),
     1,
     {{0, {H}}, {300, {}}},
     "timeout(a block request) ",
     1,
     true},
    {"noise holds no time-out open",
     Rules(false, 1000, 300),
     1,
     {{0, {H}}, {100, {0x55}}, {200, {0x55}}, {300, {0x55}}, {400, {B}}},
     "timeout(a block request) ",
     1,
     true},
    {"lost in the middle",
     Rules(false, 0, 0),
     2,
     {{0, {H, B}}, {5, {}, Step::kLost}},
     "port-lost ",
     1 + kBlk,
     true},
    {"interrupted",
     Rules(false, 0, 0),
     1,
     {{0, {H}}, {5, {}, Step::kInterrupt}},
     "interrupted ",
     1,
     true},
    {"repeat: text before the hello is dropped",
     Rules(true, 0, 300),
     1,
     {{0, {'u', 'p', 0x0C, H, B, C, K}}},
     "begun ok ",
     1 + kBlk + kCrc,
     false},
    {"repeat: a lone line end is text",
     Rules(true, 0, 300),
     1,
     {{0, {'o', 'k', H}}, {300, {}}, {400, {H, B, C, K}}},
     "text begun ok ",
     2 + kBlk + kCrc,
     false},
    {"repeat: a second hello starts over",
     Rules(true, 0, 300),
     1,
     {{0, {H, H, B, C, K}}},
     "begun ok ",
     2 + kBlk + kCrc,
     false},
    {"repeat: unit after unit",
     Rules(true, 0, 300),
     1,
     {{0, {H, B, C, K, 'x', '\n'}}, {500, {}}, {900, {H, B, C, F}}},
     "begun ok text begun failed ",
     3 + 2 * (kBlk + kCrc),
     false},
    {"repeat: no hello time-out unless given",
     Rules(true, 0, 300),
     1,
     {{600000, {}}},
     "",
     0,
     false},
    {"repeat: no unit within the hello time-out",
     Rules(true, 1000, 300),
     1,
     {{0, {H, B, C, K}}, {999, {}}, {1000, {}}},
     "begun ok no-unit ",
     1 + kBlk + kCrc,
     true},
    {"repeat: a unit times out, the port serves on",
     Rules(true, 0, 300),
     1,
     {{0, {H, B}}, {300, {}}, {400, {H, B, C, K}}},
     "begun timeout(the checksum request) begun ok ",
     2 + 2 * kBlk + kCrc,
     false},
    {"repeat: lost between units",
     Rules(true, 0, 300),
     1,
     {{0, {H, B, C, K}}, {5, {}, Step::kLost}},
     "begun ok port-lost-between ",
     1 + kBlk + kCrc,
     true},
    {"repeat: lost during a unit",
     Rules(true, 0, 300),
     2,
     {{0, {H, B}}, {5, {}, Step::kLost}},
     "begun port-lost ",
     1 + kBlk,
     true},
    {"repeat: interrupted between units says nothing",
     Rules(true, 0, 300),
     1,
     {{0, {H, B, C, K, H}}, {5, {}, Step::kInterrupt}},
     "begun ok ",
     2 + kBlk + kCrc,
     true},
};

class SessionRulesTest : public ::testing::TestWithParam<Case> {};

TEST_P(SessionRulesTest, SameEndingWholeAndByteByByte) {
  const Case& c = GetParam();
  for (const bool one_at_a_time : {false, true}) {
    SCOPED_TRACE(one_at_a_time ? "one byte a read" : "as it arrives");
    const Bytes image(c.blocks * kBlockSize, 0x5A);
    std::vector<SessionEvent> told;
    const auto take = [&told](std::vector<SessionEvent> events) {
      told.insert(told.end(), events.begin(), events.end());
    };
    ScriptedChannel channel;
    channel.one_at_a_time = one_at_a_time;
    UpdateSession session(image, 1, c.rules);
    SessionDriver driver(channel, session, false, &Now);
    const SessionClock::time_point t0{};
    g_now = t0;
    take(session.Start(g_now, true).events);
    for (const Step& step : c.steps) {
      g_now = t0 + milliseconds(step.at_ms);
      channel.waiting.insert(channel.waiting.end(), step.bytes.begin(), step.bytes.end());
      if (step.what == Step::kLost) channel.lost = true;
      if (step.what == Step::kInterrupt) take(session.Stop(g_now, UnitResult::Interrupted).events);
      do {
        take(driver.Service());
      } while (!channel.waiting.empty() && !session.done());
    }
    EXPECT_EQ(Words(told), c.said);
    EXPECT_EQ(channel.sent, c.sent);
    EXPECT_EQ(session.done(), c.done);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SessionRulesTest, ::testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& p) {
                           std::string name;
                           for (const char ch : std::string(p.param.name))
                             name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return name;
                         });

// The unit's end carries what a record tells without asking the session: how far it came,
// and from each block sent to the next request the median and the longest.
TEST(UpdateSession, TheEndTellsProgressAndBlockTurnaround) {
  const Bytes image(3 * kBlockSize, 0);
  UpdateSession session(image, 1, Rules(false, 0, 0));
  const SessionClock::time_point t0{};
  session.Start(t0, true);
  std::vector<SessionEvent> told;
  for (const auto& [ms, byte] : std::vector<std::pair<int, std::uint8_t>>{
           {0, H}, {1, B}, {3, 0x55}, {5, B}, {7, B}, {17, C}, {18, K}}) {
    auto events = session.Feed(byte, t0 + milliseconds(ms)).events;
    told.insert(told.end(), events.begin(), events.end());
  }
  ASSERT_TRUE(std::holds_alternative<UnitEnd>(told.back()));
  const UnitEnd& end = std::get<UnitEnd>(told.back());
  EXPECT_EQ(end.progress.blocks_sent, 3u);
  EXPECT_EQ(end.progress.image_bytes_sent, 3 * kBlockSize);
  EXPECT_EQ(end.bytes_sent, 1 + 3 * kBlockSize + kCrc);
  EXPECT_EQ(end.elapsed, milliseconds(18));
  EXPECT_DOUBLE_EQ(*end.block_ms_median, 4);  // 4, 2 and 10 ms
  EXPECT_DOUBLE_EQ(*end.block_ms_max, 10);
  // Progress told once a block, the last at 3 of 3.
  const auto progress = std::count_if(told.begin(), told.end(), [](const SessionEvent& e) {
    return std::holds_alternative<Progress>(e);
  });
  EXPECT_EQ(progress, 4);  // 0 of 3 once the hello is answered, then after each block
}

}  // namespace
}  // namespace pelkar
