#include <cstdlib>
#include <memory>

#include "commands.h"
#include "files/files.h"
#include "update_command.h"

namespace pelkar::cli {

namespace {

// Seconds for a time-out: above 0 and at most a day, so no clock arithmetic can overflow.
CLI::Validator Seconds() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0' || !(v > 0 && v <= 86400)) {
          return "must be a number of seconds above 0 and at most 86400 (a day), not '" +
                 Printable(text) + "'";
        }
        return "";
      },
      "SECONDS");
}

constexpr const char* kExitCodes =
    "Exit status (the worst of all ports and units; with --repeat 0 when every unit passed): "
    "0 update OK; 1 the device answered \"Update "
    "unsuccessful\"; 2 usage error; 3 port cannot be opened or was lost; 4 time-out; 5 "
    "protocol error; 6 bad input file; 130 interrupted.";

}  // namespace

Command UpdateCommand(CLI::App& app, Io io) {
  auto update = std::make_shared<UpdateRequest>();
  auto count = std::make_shared<std::size_t>(0);
  auto* up = app.add_subcommand("update", "Send an image to one or several devices");
  up->add_option("--port", update->ports,
                 "COM number (33), name (COM33, ttyUSB0), path (also /dev/serial/by-id/...), "
                 "a USB adapter's serial number, or a network serial server's port "
                 "(rfc2217://HOST:PORT, socket://HOST:PORT); repeat to update several devices "
                 "at once")
      ->required()
      ->allow_extra_args(false);
  up->add_option("IMAGE", update->image,
                 "Image file (.bin) written by `pelkar1 encode`, or the Intel HEX build itself "
                 "(.hex, .ihx, or any file of HEX text), encoded in memory as `encode` does")
      ->required();
  up->add_option("--timeout", update->timeout_s,
                 "Seconds without progress (a byte the exchange takes) once the device has "
                 "spoken")
      ->capture_default_str()
      ->check(Seconds());
  auto* hello_timeout = up->add_option("--hello-timeout", update->hello_timeout_s,
                                       "Seconds to wait for the device's hello (with --repeat: "
                                       "for the next unit; none unless given)")
                            ->capture_default_str()
                            ->check(Seconds());
  up->add_flag("--json", update->json,
               "Print one JSON object a port on stdout at the end (with --repeat: one a unit, "
               "as it ends); the fields of --log");
  up->add_flag("--quiet", update->quiet, "No progress, only the result lines");
  up->add_flag("--trace", update->trace, "Dump every byte on the wire with a time stamp");
  auto* repeat = up->add_flag("--repeat", update->repeat,
                              "Unit after unit on every port until Ctrl-C or --count; a summary "
                              "line at the end");
  up->add_option("--count", *count, "With --repeat: stop after N units (over all ports)")
      ->type_name("N")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000000}))
      ->needs(repeat);
  up->add_option("--log", update->log,
                 "Append one JSON object per unit and port to FILE (JSON Lines), synced per "
                 "record; several pelkar1 may share one file")
      ->type_name("FILE");
  up->footer(std::string(kRepeatRule) + "\n\n" + kExitCodes);
  return {up, [=] {
            update->hello_timeout_given = hello_timeout->count() > 0;
            if (*count > 0) update->count = *count;
            return RunUpdate(*update, io);
          }};
}

}  // namespace pelkar::cli
