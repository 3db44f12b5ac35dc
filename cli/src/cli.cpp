#include "cli/cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <functional>
#include <new>
#include <optional>
#include <sstream>

#include "commands.h"
#include "docs.h"
#include "files/files.h"
#include "output.h"

namespace pelkar::cli {
namespace {

const char* const kCommands[] = {"ports",   "update",  "encode",   "info",
                                 "hex2bin", "bin2hex", "simulate", "help"};
// Run by the build, not by users: not offered in the help or as a "did you mean".
constexpr char kDocsCommand[] = "docs";

// The edit distance of two short words, for "did you mean".
std::size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j)
    row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

std::optional<std::string> Nearest(const std::string& word) {
  std::optional<std::string> best;
  std::size_t best_distance = 3;  // further than that is no likely typing slip
  for (const char* command : kCommands) {
    const std::size_t d = Distance(word, command);
    if (d < best_distance || std::string_view(command).starts_with(word)) {
      best = command;
      best_distance = std::min(d, best_distance);
    }
  }
  return best;
}

int Usage(const std::string& line, Io io) {
  io.err << "pelkar1: " << line << std::endl;
  return kUsage;
}

// The manual page and the bash completion, written from the parser's own definitions.
Command DocsCommand(CLI::App& app) {
  auto kind = std::make_shared<std::string>();
  auto out = std::make_shared<std::string>();
  auto* docs = app.add_subcommand(kDocsCommand, "Write the manual page or the bash completion");
  docs->group("");
  docs->add_option("KIND", *kind)->required()->check(CLI::IsMember({"man", "bash-completion"}));
  docs->add_option("-o,--output", *out)->required();
  return {docs, [=, &app] {
            std::ostringstream text;
            if (*kind == "man") {
              WriteManPage(app, PELKAR_VERSION, text);
            } else {
              WriteBashCompletion(app, text);
            }
            const std::string t = text.str();
            WriteFileAtomically(
                Utf8Path(*out),
                std::span(reinterpret_cast<const std::uint8_t*>(t.data()), t.size()), {},
                Durability::Unsynced);
            return kOk;
          }};
}

// Every error in one short line; the help is one option away.
void Configure(CLI::App& app) {
  app.require_subcommand(1);
  // "/name" is a path on every system, never an option as CLI11 reads it on Windows.
  app.allow_windows_style_options(false);
  app.set_help_all_flag("--help-all", "Show the help of every command");
  app.set_version_flag("--version", std::string("pelkar1 ") + PELKAR_VERSION);
  app.failure_message([](const CLI::App* from, const CLI::Error& e) {
    std::string name = from->get_name();
    std::string what = e.what();
    std::replace(what.begin(), what.end(), '\n', ' ');
    return "pelkar1" + (name == "pelkar1" ? std::string() : " " + name) + ": " + what +
           " (see --help)\n";
  });
}

// Every failure ends as one line and its status; nothing reaches the caller unhandled.
int Guarded(const std::function<int()>& run, Io io) {
  try {
    return run();
  } catch (const Failure& f) {
    io.err << f.message << std::endl;
    return f.status;
  } catch (const FileError& e) {
    io.err << e.what() << std::endl;
    return kBadInput;
  } catch (const std::bad_alloc&) {
    io.err << "Not enough memory for this file; nothing was written." << std::endl;
    return kBadInput;
  } catch (const std::exception& e) {
    io.err << "pelkar1: " << Printable(e.what()) << std::endl;
    return kBadInput;
  }
}

// The commands that write files leave no temporary file when a signal ends them.
Command RemovingTemporaries(Command c) {
  return {c.sub, [run = c.run] {
            RemoveTemporaryFilesOnSignals();
            return run();
          }};
}

}  // namespace

int Run(const std::vector<std::string>& args, Io io) {
  // `pelkar1 help [COMMAND]` is `pelkar1 [COMMAND] --help`.
  if (args.size() >= 2 && args[1] == "help") {
    std::vector<std::string> again{args[0]};
    if (args.size() >= 3) again.push_back(args[2]);
    again.push_back("--help");
    if (args.size() > 3) return Usage("help takes one command at most.", io);
    return Run(again, io);
  }
  if (args.size() >= 2 && !args[1].empty() && args[1][0] != '-' && args[1] != kDocsCommand &&
      std::find(std::begin(kCommands), std::end(kCommands), args[1]) == std::end(kCommands)) {
    const auto nearest = Nearest(args[1]);
    return Usage("unknown command '" + Printable(args[1]) + "'." +
                     (nearest ? " Did you mean '" + *nearest + "'?" : "") +
                     " See `pelkar1 --help`.",
                 io);
  }

  CLI::App app{"pelkar1 - firmware update tool for Pelkar devices", "pelkar1"};
  Configure(app);
  // In the order `pelkar1 --help` lists them.
  std::vector<Command> commands{PortsCommand(app, io),
                                UpdateCommand(app, io),
                                RemovingTemporaries(EncodeCommand(app, io)),
                                RemovingTemporaries(InfoCommand(app, io)),
                                RemovingTemporaries(Hex2BinCommand(app, io)),
                                RemovingTemporaries(Bin2HexCommand(app, io)),
                                RemovingTemporaries(SimulateCommand(app, io))};
  app.add_subcommand("help", "Show the help of a command: pelkar1 help COMMAND");
  commands.push_back(DocsCommand(app));

  std::vector<std::string> argv_tail(args.rbegin(), args.rend() - 1);
  try {
    app.parse(argv_tail);
  } catch (const CLI::ParseError& e) {
    std::ostringstream o;
    std::ostringstream er;
    const int code = app.exit(e, o, er);
    io.out << o.str();
    io.err << er.str();
    return code == 0 ? kOk : kUsage;
  }
  for (const Command& c : commands) {
    if (*c.sub) return Guarded(c.run, io);
  }
  return kUsage;
}

}  // namespace pelkar::cli
