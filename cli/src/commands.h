// The commands of pelkar1, one file each: a command's subcommand with the options it parses
// into, and what it does with them.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

#include "cli/cli.h"

namespace pelkar::cli {

// A command: its subcommand with the options it parses into, and what it does with them. The
// options live as long as the action that reads them.
struct Command {
  CLI::App* sub;
  std::function<int()> run;
};

// Each adds its subcommand to app; the action runs once app has parsed the command line.
Command PortsCommand(CLI::App& app, Io io);
Command UpdateCommand(CLI::App& app, Io io);
Command EncodeCommand(CLI::App& app, Io io);
Command InfoCommand(CLI::App& app, Io io);
Command Hex2BinCommand(CLI::App& app, Io io);
Command Bin2HexCommand(CLI::App& app, Io io);
Command SimulateCommand(CLI::App& app, Io io);

// A path as the messages show it.
std::string Shown(const std::string& path);

}  // namespace pelkar::cli
