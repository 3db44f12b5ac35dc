// The production log: one JSON object a line (JSON Lines), appended by any number of pelkar1
// processes at once, each record synced to the disk before the next unit starts.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace pelkar::cli {

class UnitLog {
 public:
  // Opens path (UTF-8) for appending, creating it when missing. Throws Failure: kUsage when
  // it is one of the files the command reads (reads), kBadInput when it cannot be opened or
  // could not be an output (see CheckOutput).
  explicit UnitLog(const std::string& path, std::span<const std::filesystem::path> reads = {});
  ~UnitLog();
  UnitLog(const UnitLog&) = delete;
  UnitLog& operator=(const UnitLog&) = delete;

  // Appends record and a line end with one write under an exclusive lock of the file, so
  // writers never interleave inside a record, then syncs the file. False (with Error()) when
  // any step fails.
  bool Append(std::string_view record);
  const std::string& Error() const noexcept { return error_; }

 private:
  std::string path_;
  std::string error_;
  std::intptr_t native_ = -1;  // a descriptor, or a HANDLE on Windows
};

// Throws the Failure UnitLog does for a path that cannot be the log, before anything is opened.
void CheckLogPath(const std::string& path, std::span<const std::filesystem::path> reads);

// This machine's name, or "" when the system does not tell it.
std::string HostName();

// "2026-12-08T22:19:06.123Z": UTC, ISO 8601, milliseconds.
std::string UtcTimestamp(std::chrono::system_clock::time_point t);

}  // namespace pelkar::cli
