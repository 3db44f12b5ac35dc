// The Win32 face of Form1: a plain window with a menu bar ("Serial Port" popup with the port
// items, "Load File" and "Update" as commands on the bar), Picture1 as the progress bar and
// Command1 below the visible client area, first in the tab order. Sizes are those of a 96 DPI
// screen, scaled for the monitor the window is on. Typed characters are previewed by the
// message loop whatever holds the focus.
//
// The port's arrivals: a watcher thread waits on the port and posts a message to the window;
// the window's thread then reads and answers, and only then lets the watcher wait again, so
// the two never touch the port at once and the message loop never blocks on it.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/form1.h"
#include "serial/serial_comm.h"

namespace pelkar {

class Win32Form1 final : public Form1Face {
 public:
  // Design sizes in pixels at 96 DPI (the window's twips at 15 a pixel).
  static constexpr int kClientWidth = 361, kClientHeight = 30;
  static constexpr RECT kPicture1Rect{4, 4, 4 + 353, 4 + 21};
  static constexpr RECT kCommand1Rect{60, 56, 60 + 69, 56 + 37};

  // Command identifiers of the menu items; Port item i is kPortBase + i.
  enum : UINT { kLoadFile = 100, kUpdate = 101, kCommand1 = 102, kPortBase = 1000 };

  // Creates the (hidden) window and runs Form_Load. Throws std::runtime_error when Windows
  // cannot make the window. An empty parts.program_dir means the running program's folder.
  explicit Win32Form1(Form1Parts parts = {});
  ~Win32Form1() override;
  Win32Form1(const Win32Form1&) = delete;
  Win32Form1& operator=(const Win32Form1&) = delete;

  void Show(int show_command);
  // Runs the message loop until the window is closed; returns the exit code.
  int Run();
  // One message of the loop, with the key preview; false on WM_QUIT.
  bool Pump(MSG& msg);

  HWND hwnd() const noexcept { return hwnd_; }
  HWND picture1() const noexcept { return picture1_; }
  HWND command1() const noexcept { return command1_; }
  HMENU ser_port() const noexcept { return ser_port_; }
  Form1& core() noexcept { return *core_; }
  UINT dpi() const noexcept { return dpi_; }

  // --- Form1Face --------------------------------------------------------------------------
  void AddPortItem(const std::string& caption) override;
  void SetPortTicked(std::size_t index, bool ticked) override;
  void SetSerPortEnabled(bool enabled) override;
  void SetLoadFileEnabled(bool enabled) override;
  void SetUpdateEnabled(bool enabled) override;
  void SetUpdateCaption(const std::string& caption) override;
  void ShowProgress(std::int64_t units, std::int64_t scale) override;
  void ShowMessage(const std::string& text, MessageIcon icon) override;
  void WatchPort(PortChannel& channel) override;
  void StopWatching() override;
  DialogOwner DialogParent() override { return hwnd_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK PictureProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp);
  LRESULT Handle(UINT message, WPARAM wp, LPARAM lp);
  void PaintPicture(HWND hwnd);
  void Layout();
  int Scale(int pixels) const;
  void WatchLoop(PortChannel* channel);

  HWND hwnd_ = nullptr;
  HWND picture1_ = nullptr;
  HWND command1_ = nullptr;
  HWND focus_ = nullptr;  // the control to focus when the window is activated
  HMENU bar_ = nullptr;
  HMENU ser_port_ = nullptr;
  UINT dpi_ = 96;
  std::size_t port_items_ = 0;
  bool update_enabled_ = false;
  std::wstring update_caption_ = L"Update";
  std::int64_t units_ = 0, scale_ = 0;

  // The watcher: armed_ says it may wait on the port; generation_ tells stale posts apart.
  std::thread watcher_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool armed_ = false;
  bool quit_ = false;
  std::uintptr_t generation_ = 0;
  std::unique_ptr<WaitInterrupt> stop_;

  std::unique_ptr<Form1> core_;  // last: goes first, while the window is still there
};

}  // namespace pelkar
