// The manual page and the bash completion, written from the same option definitions as the
// parser, so neither can fall behind the tool. The build runs `pelkar1 docs` to make them.
#pragma once

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>

namespace pelkar::cli {

// A man(7) page: synopsis, every command with its options and their descriptions, the
// commands' footers (exit status, --repeat's rule), files and examples.
void WriteManPage(const CLI::App& app, const std::string& version, std::ostream& out);

// A bash completion script: commands, each command's options; port numbers after --port
// (from `pelkar1 ports --json`), file names where an option or argument takes a file.
void WriteBashCompletion(const CLI::App& app, std::ostream& out);

}  // namespace pelkar::cli
