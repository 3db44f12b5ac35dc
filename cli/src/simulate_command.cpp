#include <memory>

#include "commands.h"
#include "files/files.h"
#include "simulate_command.h"

namespace pelkar::cli {

namespace {

// `simulate`'s options as parsed; those that may be absent become optionals in Options().
struct SimulateArguments {
  SimulatorOptions sim;
  int com = 0;
  int verdict = -1;
  std::size_t silent_after = 0;
  std::size_t hangup_after = 0;
  std::string save;
  std::uint32_t next_unit_ms = 0;
  std::size_t units = 0;
  std::string on;

  SimulatorOptions Options(const CLI::App& simulate) const {
    SimulatorOptions s = sim;
    if (com != 0) s.com = static_cast<std::uint8_t>(com);
    if (verdict >= 0) s.device.verdict = static_cast<std::uint8_t>(verdict);
    if (simulate.count("--silent-after") > 0) s.device.silent_after = silent_after;
    if (simulate.count("--hangup-after") > 0) s.device.hangup_after = hangup_after;
    if (!save.empty()) s.save = Utf8Path(save);
    if (simulate.count("--next-unit-ms") > 0) s.device.next_unit_ms = next_unit_ms;
    if (simulate.count("--units") > 0) s.device.units = units;
    if (simulate.count("--on") > 0) s.on = on;
    return s;
  }
};

}  // namespace

Command SimulateCommand(CLI::App& app, Io io) {
  auto o = std::make_shared<SimulateArguments>();
  SimulatorOptions& sim = o->sim;
  auto* simulate = app.add_subcommand("simulate", "Offer a simulated device as a virtual port");
  auto* com =
      simulate
          ->add_option("--com", o->com, "COM number to offer (200-255; default: the first free)")
          ->check(CLI::Range(200, 255));
  simulate
      ->add_option("--on", o->on,
                   "Run on this serial port instead of a virtual one: an adapter wired "
                   "null-modem to the host's, a UART, a USB gadget's port")
      ->type_name("PATH")
      ->excludes(com);
  simulate->add_option("--blocks", sim.device.blocks, "Blocks to ask for")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{32768}));
  simulate
      ->add_option("--baud", sim.device.baud, "Pace the host's bytes as an 8N1 line (0: no pacing)")
      ->capture_default_str();
  simulate->add_flag("--fail", sim.device.fail, "Answer \"Update unsuccessful\" (14)");
  simulate->add_flag("--noise", sim.device.noise, "Send stray bytes before every request");
  simulate
      ->add_option("--flash-ms", sim.device.flash_ms, "Pause after each block, as a flash write")
      ->capture_default_str();
  simulate->add_flag("--once", sim.once, "End after one update");
  simulate->add_flag("--bad-hello", sim.device.bad_hello, "Open with a wrong first byte");
  simulate->add_option("--silent-after", o->silent_after, "Fall silent after K blocks");
  simulate->add_option("--hangup-after", o->hangup_after,
                       "Make the port vanish after K blocks, as an unplugged adapter");
  simulate->add_option("--verdict", o->verdict, "Answer this byte instead of 14 or 15")
      ->check(CLI::Range(0, 255));
  simulate->add_option("--save", o->save, "Keep the received image in this file");
  simulate
      ->add_option("--next-unit-ms", o->next_unit_ms,
                   "After a verdict, greet the same host as the next unit after MS "
                   "milliseconds, as a fixture with a fresh unit")
      ->type_name("MS");
  simulate->add_option("--text-after", sim.device.text_after,
                       "A line of text each unit prints after its verdict");
  simulate
      ->add_option("--fail-units", sim.device.failing_units,
                   "Units (1 = the first) that answer \"Update unsuccessful\"")
      ->type_name("N,...")
      ->delimiter(',');
  simulate->add_option("--units", o->units, "Units in all; silent after the last")
      ->type_name("N")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000000}));
  simulate->add_flag("--wait-reset", sim.wait_reset,
                     "Greet only when reset (SIGUSR1), not when a host opens the port");
  return {simulate, [=] { return Simulate(o->Options(*simulate), io); }};
}

}  // namespace pelkar::cli
