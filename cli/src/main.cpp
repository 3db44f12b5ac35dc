#include <unistd.h>

#include <csignal>
#include <iostream>

#include "cli/cli.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> args(argv, argv + argc);
  return pelkar::cli::Run(args, {std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1});
}
