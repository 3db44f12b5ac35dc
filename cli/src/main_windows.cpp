#include <windows.h>

#include <shellapi.h>  // after windows.h, which it needs

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "platform/utf16_windows.h"

namespace {

// The arguments as the user typed them: main()'s argv has passed through the ANSI code page,
// which cannot name every file.
std::vector<std::string> Arguments() {
  int count = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 0; argv != nullptr && i < count; ++i)
    args.push_back(pelkar::Utf8(std::wstring_view(argv[i])));
  if (argv != nullptr) ::LocalFree(argv);
  if (args.empty()) args.emplace_back("pelkar1");
  return args;
}

// Only a console shows a carriage return as a redrawn line; a file, a pipe or NUL get plain
// lines (_isatty would take NUL for a terminal).
bool IsConsole(DWORD handle) {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(handle), &mode) != 0;
}

// The console shows UTF-8 text (file names) while the program runs, and gets its own code
// page back at the end: it outlives the program.
class Utf8Console {
 public:
  Utf8Console() : saved_(::GetConsoleOutputCP()) {
    if (saved_ != 0) ::SetConsoleOutputCP(CP_UTF8);
  }
  ~Utf8Console() {
    if (saved_ != 0) ::SetConsoleOutputCP(saved_);
  }
  Utf8Console(const Utf8Console&) = delete;
  Utf8Console& operator=(const Utf8Console&) = delete;

 private:
  UINT saved_;
};

}  // namespace

int main() {
  const Utf8Console console;
  int status = pelkar::cli::kBadInput;
  try {
    status = pelkar::cli::Run(Arguments(), {std::cout, std::cerr, IsConsole(STD_ERROR_HANDLE)});
  } catch (const std::exception& e) {
    std::cerr << "pelkar1: " << e.what() << std::endl;
  }
  std::cout.flush();
  return status;
}
