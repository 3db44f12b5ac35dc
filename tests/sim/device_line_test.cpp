// The device's line on a fake clock, played against the host's exchange: its answers fed whole
// and one byte at a time.
#include "sim/device_line.h"

#include <gtest/gtest.h>

#include "firmware/image.h"
#include "firmware/update_exchange.h"

namespace pelkar {
namespace {

using std::chrono::milliseconds;
using Action = DeviceLine::Action;

struct Played {
  long long verdict_ms = -1;  // when the verdict went out
  int hellos = 0;             // hellos before the host answered one
  std::string after;          // what the device sent from its verdict on
  Action end = Action::kContinue;
  std::vector<SimulatedExchange> ended;
};

// The host ignores the line until host_waits, then answers at once; the clock jumps to each
// deadline. Ends at the line's first action, or a second after the verdict.
Played Play(const LineOptions& options, bool host_ready, milliseconds host_waits, bool whole) {
  const DeviceLine::Time t0{};
  std::vector<std::uint8_t> image(options.device.blocks * kBlockSize, 0x5A);
  UpdateExchange host(image, ImageCrc(image));
  host.Start(true);
  DeviceLine line(options);
  Played p;
  DeviceLine::Time now = t0;
  auto step = line.Begin(now, host_ready);
  const auto ms = [&] { return std::chrono::duration_cast<milliseconds>(now - t0).count(); };
  for (int guard = 0; guard < 100000; ++guard) {
    p.ended.insert(p.ended.end(), step.ended.begin(), step.ended.end());
    if (step.verdict) p.verdict_ms = ms();
    std::vector<std::uint8_t> answers;
    for (const std::uint8_t b : step.send) {
      if (p.verdict_ms >= 0) {
        p.after.push_back(static_cast<char>(b));
      } else if (now < t0 + host_waits) {
        p.hellos += b == 10;
      } else if (host.running()) {
        p.hellos += host.state() == ExchangeState::AwaitHello && b == 10;
        const auto a = host.Feed(b);
        answers.insert(answers.end(), a.begin(), a.end());
      }
    }
    if (step.action != Action::kContinue) {
      p.end = step.action;
      break;
    }
    if (!answers.empty()) {
      if (whole) {
        step = line.Feed(answers, now);
      } else {
        DeviceLine::Step merged;
        for (const std::uint8_t b : answers) {
          auto s = line.Feed(std::span(&b, 1), now);
          merged.send.insert(merged.send.end(), s.send.begin(), s.send.end());
          merged.ended.insert(merged.ended.end(), s.ended.begin(), s.ended.end());
          merged.verdict = merged.verdict || s.verdict;
          merged.deadline = s.deadline;
          merged.action = s.action;
        }
        step = merged;
      }
      continue;
    }
    if (step.deadline == DeviceLine::Time::max()) break;
    if (p.verdict_ms >= 0 && step.deadline > t0 + milliseconds(p.verdict_ms + 1000)) break;
    now = step.deadline;
    step = line.Tick(now);
  }
  return p;
}

TEST(DeviceLine, PacesHoldsGreetsHangsUpAndSpeaksAfterTheVerdict) {
  struct Row {
    const char* name;
    void (*set)(LineOptions&);
    bool host_ready;
    int host_waits_ms;
    long long verdict_ms;
    int hellos;
    std::string after;
    Action end;
    std::size_t ended;  // exchanges recorded
  } rows[] = {
      {"unpaced", [](LineOptions&) {}, true, 0, 0, 1, "\x0F", Action::kContinue, 0},
      // 1 + 2 x 256 + 4 bytes from the host at 1 ms a byte.
      {"paced", [](LineOptions& o) { o.device.baud = 10000; }, true, 0, 517, 1, "\x0F",
       Action::kContinue, 0},
      {"flash hold after each block", [](LineOptions& o) { o.device.flash_ms = 5; }, true, 0, 10, 1,
       "\x0F", Action::kContinue, 0},
      {"hello fallback without a purge", [](LineOptions&) {}, false, 0, 200, 1, "\x0F",
       Action::kContinue, 0},
      {"wait for a reset", [](LineOptions& o) { o.wait_reset = true; }, false, 0, -1, 0, "",
       Action::kContinue, 0},
      {"next unit with text",
       [](LineOptions& o) {
         o.device.next_unit_ms = 30;
         o.device.text_after = "up";
       },
       true, 0, 0, 1, "\x0Fup\n\n", Action::kContinue, 1},
      {"hang-up after a block", [](LineOptions& o) { o.device.hangup_after = 1; }, true, 0, -1, 1,
       "", Action::kHangUp, 1},
      {"real line: hello again until answered", [](LineOptions& o) { o.real_line = true; }, false,
       1500, 2200, 3, "\x0F\n", Action::kContinue, 1},
      {"real line, once: the verdict ends it",
       [](LineOptions& o) {
         o.real_line = true;
         o.once = true;
       },
       false, 0, 200, 1, "\x0F", Action::kEnd, 1},
  };
  for (const Row& r : rows) {
    for (const bool whole : {true, false}) {
      LineOptions o;
      o.device.blocks = 2;
      r.set(o);
      const auto p = Play(o, r.host_ready, milliseconds(r.host_waits_ms), whole);
      const std::string what = std::string(r.name) + (whole ? ", whole" : ", byte by byte");
      EXPECT_EQ(p.verdict_ms, r.verdict_ms) << what;
      EXPECT_EQ(p.hellos, r.hellos) << what;
      EXPECT_EQ(p.after, r.after) << what;
      EXPECT_EQ(p.end, r.end) << what;
      ASSERT_EQ(p.ended.size(), r.ended) << what;
      if (r.ended > 0) {
        EXPECT_EQ(p.ended[0].unit, 1u) << what;
      }
    }
  }
}

// What ends an exchange with a host, and what is recorded of it.
TEST(DeviceLine, TellsHowTheHostWent) {
  LineOptions o;
  o.device.blocks = 2;
  const DeviceLine::Time t{};
  DeviceLine line(o);
  EXPECT_EQ(line.Begin(t, true).send, (std::vector<std::uint8_t>{10}));
  auto step = line.Purged(t);  // a new host before the old one's hang-up was seen
  EXPECT_EQ(step.action, Action::kNextHost);
  ASSERT_EQ(step.ended.size(), 1u);
  EXPECT_TRUE(step.ended[0].host_left);

  step = line.Begin(t, true);
  EXPECT_EQ(line.Reset(t).ended.size(), 1u) << "the unit cut short by a reset is not recorded";
  step = line.HostLeft(t);
  EXPECT_EQ(step.action, Action::kHostGone);
  ASSERT_EQ(step.ended.size(), 1u);
  EXPECT_EQ(step.ended[0].unit, 3u);
  EXPECT_EQ(line.Lost(t).action, Action::kEnd);
  EXPECT_TRUE(line.Stop().ended.empty()) << "an exchange recorded twice";
}

}  // namespace
}  // namespace pelkar
