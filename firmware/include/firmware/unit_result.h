// How one unit's update ended, and everything said of each result, in one table.
#pragma once

#include <array>
#include <cstddef>

namespace pelkar {

enum class UnitResult {
  Ok,
  Failed,
  Timeout,
  PortLost,
  CannotOpen,
  ProtocolError,
  Interrupted,
  Stopped,  // the user's Stop: nothing to tell
};

struct UnitResultInfo {
  UnitResult result;
  const char* name;     // in records and logs ("port-lost")
  int exit_status;      // what `pelkar1 update` exits with; a run exits with the worst
  const char* summary;  // the word a run's summary counts it under
};

// In UnitResult's order; UnitResultOf() checks that it stays so.
inline constexpr std::array<UnitResultInfo, 8> kUnitResults{{
    {UnitResult::Ok, "ok", 0, "OK"},
    {UnitResult::Failed, "failed", 1, "failed"},
    {UnitResult::Timeout, "timeout", 4, "failed"},
    {UnitResult::PortLost, "port-lost", 3, "failed"},
    {UnitResult::CannotOpen, "cannot-open", 3, "failed"},
    {UnitResult::ProtocolError, "protocol-error", 5, "failed"},
    {UnitResult::Interrupted, "interrupted", 130, "interrupted"},
    {UnitResult::Stopped, "interrupted", 130, "interrupted"},
}};

constexpr const UnitResultInfo& UnitResultOf(UnitResult r) {
  return kUnitResults[static_cast<std::size_t>(r)];
}

static_assert([] {
  for (std::size_t i = 0; i < kUnitResults.size(); ++i) {
    if (static_cast<std::size_t>(kUnitResults[i].result) != i) return false;
  }
  return true;
}());

}  // namespace pelkar
