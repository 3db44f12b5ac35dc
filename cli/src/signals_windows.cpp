#include <windows.h>

#include "cli/cli.h"
#include "signals.h"

namespace pelkar::cli {
namespace {

HANDLE finished = nullptr;  // set once the results are told

BOOL WINAPI OnConsoleEvent(DWORD event) {
  RequestInterrupt();
  // Windows ends the process as soon as this returns from a closing console: give the update
  // the moment it needs to close the ports and tell its results.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    ::WaitForSingleObject(finished, 4000);
  }
  return TRUE;
}

}  // namespace

InterruptOnSignals::InterruptOnSignals() {
  if (finished == nullptr) finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::ResetEvent(finished);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

InterruptOnSignals::~InterruptOnSignals() {
  ::SetEvent(finished);
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

}  // namespace pelkar::cli
