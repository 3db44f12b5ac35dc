// Pelkar1_Update.exe: the firmware update window. No arguments, no settings.
#include <windows.h>

#include <objbase.h>

#include <exception>
#include <string>

#include "platform/utf16_windows.h"
#include "win32_form1_windows.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show) {
  // Sizes follow the monitor the window is on (the manifest says so too, for older systems).
  ::SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  // The common dialogs want a single-threaded apartment on the window's thread.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int code = 1;
  try {
    pelkar::Win32Form1 window;
    window.Show(show);
    code = window.Run();
  } catch (const std::exception& e) {
    ::MessageBoxW(nullptr, pelkar::Utf16(e.what()).c_str(),
                  pelkar::Utf16(pelkar::kAppTitle).c_str(), MB_OK | MB_ICONERROR);
  }
  if (SUCCEEDED(com)) ::CoUninitialize();
  return code;
}
