#include "firmware/update_session.h"

#include <algorithm>

namespace pelkar {
namespace {

UnitEnd Ending(UnitResult result, bool unit = true) {
  UnitEnd end;
  end.result = result;
  end.unit = unit;
  return end;
}

double Milliseconds(SessionClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::optional<double> Median(std::vector<SessionClock::duration> spans) {
  if (spans.empty()) return std::nullopt;
  std::sort(spans.begin(), spans.end());
  const std::size_t n = spans.size();
  return (Milliseconds(spans[(n - 1) / 2]) + Milliseconds(spans[n / 2])) / 2;
}

std::optional<double> Longest(const std::vector<SessionClock::duration>& spans) {
  if (spans.empty()) return std::nullopt;
  return Milliseconds(*std::max_element(spans.begin(), spans.end()));
}

}  // namespace

UpdateSession::UpdateSession(std::span<const std::uint8_t> image, std::int32_t crc,
                             SessionRules rules)
    : rules_(rules), exchange_(image, crc) {}

SessionStep UpdateSession::Told(std::span<const std::uint8_t> send) {
  SessionStep step{send, std::move(events_)};
  events_.clear();
  return step;
}

Progress UpdateSession::ProgressNow() const {
  return {exchange_.blocks_sent(), exchange_.block_count(), exchange_.image_bytes_sent(),
          exchange_.image_size(), started_};
}

SessionStep UpdateSession::Start(TimePoint now, bool port_open) {
  started_ = waiting_since_ = last_progress_ = now;
  exchange_.Start(port_open);
  if (!rules_.repeat) in_unit_ = true;
  if (!port_open) End(Ending(UnitResult::CannotOpen, !rules_.repeat), now);
  return Told();
}

void UpdateSession::Rearm(TimePoint now) {
  // The same exchange again from its start: the image is copied once, for the session.
  exchange_.Stop();
  exchange_.Start(true);
  in_unit_ = false;
  heard_ = false;
  last_blocks_ = SIZE_MAX;
  block_sent_.reset();
  turnarounds_.clear();
  waiting_since_ = now;
}

SessionStep UpdateSession::Feed(std::uint8_t byte, TimePoint now) {
  if (done_) return {};
  if (!rules_.repeat) heard_ = true;
  if (rules_.repeat && !in_unit_) {
    // Between units a device may print text: only a hello opens an exchange, and a new hello
    // before any block request means the last one was a line end of that text.
    const ExchangeState state = exchange_.state();
    if (byte != wire::kDeviceHello && state == ExchangeState::AwaitHello) return {};
    if (byte == wire::kDeviceHello) {
      if (state == ExchangeState::AwaitBlockRequest) Rearm(now);
      heard_ = true;
      started_ = last_progress_ = now;
    }
  }
  const auto answer = exchange_.Feed(byte);
  if (!answer.empty()) {
    // Dropped bytes do not move the time: a chattering device cannot hold it open.
    last_progress_ = now;
    if (block_sent_) turnarounds_.push_back(now - *block_sent_);
    block_sent_.reset();
    if (answer.size() == kBlockSize) block_sent_ = now;
    if (!in_unit_ && exchange_.blocks_sent() > 0) {
      in_unit_ = true;
      turnarounds_.clear();
      events_.emplace_back(UnitBegun{});
    }
  }
  if (exchange_.blocks_sent() != last_blocks_ && exchange_.state() != ExchangeState::AwaitHello) {
    last_blocks_ = exchange_.blocks_sent();
    events_.emplace_back(ProgressNow());
  }
  if (exchange_.finished()) {
    Concluded(now);
    return Told();  // a verdict or a wrong first byte asks for no answer
  }
  return Told(answer);
}

void UpdateSession::Concluded(TimePoint now) {
  UnitEnd end;
  switch (exchange_.outcome()) {
    case ExchangeOutcome::UpdateOk:
      end.result = UnitResult::Ok;
      break;
    case ExchangeOutcome::UpdateFailed:
      end.result = UnitResult::Failed;
      break;
    default:
      end.result = UnitResult::ProtocolError;
      break;
  }
  End(std::move(end), now);
}

void UpdateSession::End(UnitEnd end, TimePoint now) {
  const UpdateExchange& x = exchange_;
  end.heard = heard_;
  end.outcome = x.outcome();
  end.message = x.message();
  end.final_byte = x.final_byte();
  end.elapsed = now - started_;
  end.progress = ProgressNow();
  end.bytes_sent = x.bytes_sent();
  end.block_ms_median = Median(turnarounds_);
  end.block_ms_max = Longest(turnarounds_);
  events_.emplace_back(std::move(end));
  const bool unit = std::get<UnitEnd>(events_.back()).unit;
  if (rules_.repeat && unit && !retired_) {
    Rearm(now);
  } else {
    done_ = true;
  }
}

SessionClock::time_point UpdateSession::deadline() const noexcept {
  if (done_) return TimePoint::max();
  const auto after = [](TimePoint from, const std::optional<SessionClock::duration>& span) {
    return span ? from + *span : TimePoint::max();
  };
  if (!heard_) return after(rules_.repeat ? waiting_since_ : started_, rules_.hello_timeout);
  return after(last_progress_, rules_.byte_timeout);
}

SessionStep UpdateSession::Tick(TimePoint now) {
  if (done_ || now < deadline()) return {};
  if (rules_.repeat && !heard_) {
    done_ = true;
    events_.emplace_back(SessionNotice::NoUnit);
  } else if (rules_.repeat && !in_unit_) {
    events_.emplace_back(SessionNotice::TakenAsText);
    Rearm(now);
  } else {
    UnitEnd end = Ending(UnitResult::Timeout);
    end.awaited = exchange_.awaited_what();
    exchange_.Stop();
    End(std::move(end), now);
  }
  return Told();
}

SessionStep UpdateSession::Lost(TimePoint now) {
  if (done_) return {};
  exchange_.Stop();
  // Lost between units is the port's own failure; repeat serves no more units on it.
  retired_ = true;
  End(Ending(UnitResult::PortLost, in_unit_), now);
  return Told();
}

SessionStep UpdateSession::Stop(TimePoint now, UnitResult why) {
  if (done_) return {};
  exchange_.Stop();
  retired_ = true;
  if (in_unit_) {
    End(Ending(why), now);
  } else {
    done_ = true;
  }
  return Told();
}

void UpdateSession::Retire() {
  retired_ = true;
  if (!in_unit_ && !done_) {
    exchange_.Stop();
    done_ = true;
  }
}

}  // namespace pelkar
