#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <exception>
#include <iostream>

#include "cli/cli.h"

int main(int argc, char** argv) {
  // Started with a standard descriptor closed, the first file or pipe opened would take its
  // number: a port or the interrupt pipe mistaken for stdout. Keep 0, 1 and 2 taken.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) < 0) {
      return pelkar::cli::kBadInput;
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  try {
    const std::vector<std::string> args(argv, argv + argc);
    return pelkar::cli::Run(args, {std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1});
  } catch (const std::exception& e) {
    std::cerr << "pelkar1: " << e.what() << std::endl;
    return pelkar::cli::kBadInput;
  }
}
