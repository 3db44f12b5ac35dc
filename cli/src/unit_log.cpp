#include <cstdio>

#include "files/files.h"
#include "output.h"
#include "unit_log.h"

namespace pelkar::cli {

void CheckLogPath(const std::string& path, std::span<const std::filesystem::path> reads) {
  // Records appended to the image would make the next update refuse it: the log is checked as
  // every output is, by identity, whatever the spelling.
  try {
    CheckOutput(Utf8Path(path), reads);
  } catch (const OutputIsInputError&) {
    throw Failure{kUsage, "pelkar1 update: --log " + Printable(path) +
                              " names the firmware file itself; name another log file."};
  } catch (const FileError& e) {
    throw Failure{kBadInput, std::string("Cannot use the log: ") + e.what()};
  }
}

std::string UtcTimestamp(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(t);
  const auto day = floor<days>(ms);
  const year_month_day date{day};
  const hh_mm_ss time{ms - day};
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int{date.year()},
                unsigned{date.month()}, unsigned{date.day()},
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

}  // namespace pelkar::cli
