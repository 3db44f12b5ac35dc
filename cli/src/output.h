// What the commands print: JSON that is always valid UTF-8, and exceptions turned into one
// line and an exit status.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "cli/cli.h"

namespace pelkar::cli {

// A failure with its exit status and the one line that tells the user what to do.
struct Failure {
  int status;
  std::string message;
};

// Bytes that are not UTF-8 (a file or port name) become U+FFFD instead of aborting the dump.
inline std::string DumpJson(const nlohmann::ordered_json& j, int indent = -1) {
  return j.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace pelkar::cli
