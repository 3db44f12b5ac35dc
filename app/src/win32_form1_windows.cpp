#include "win32_form1_windows.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "platform/utf16_windows.h"

namespace pelkar {
namespace {

const wchar_t kWindowClass[] = L"Pelkar1Form1";
const wchar_t kPictureClass[] = L"Pelkar1Picture1";
constexpr UINT kArrival = WM_APP + 1;  // wParam: the watcher's generation
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // fixed size

// Menu captions are plain text: "&" is shown, never a mnemonic.
std::wstring MenuText(const std::string& caption) {
  std::wstring text;
  for (wchar_t c : Utf16(caption)) {
    text += c;
    if (c == L'&') text += L'&';
  }
  return text;
}

std::string ProgramDir() {
  std::wstring path(32768, L'\0');
  const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(n);
  return Utf8(std::filesystem::path(path).parent_path().wstring());
}

void RegisterClasses(HINSTANCE instance, WNDPROC window, WNDPROC picture) {
  static bool done = false;
  if (done) return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = window;
  wc.hInstance = instance;
  wc.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.hIconSm = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                               ::GetSystemMetrics(SM_CXSMICON),
                                               ::GetSystemMetrics(SM_CYSMICON), 0));
  wc.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kWindowClass;
  ::RegisterClassExW(&wc);
  WNDCLASSEXW pc{};
  pc.cbSize = sizeof pc;
  pc.lpfnWndProc = picture;
  pc.hInstance = instance;
  pc.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  pc.lpszClassName = kPictureClass;
  ::RegisterClassExW(&pc);
  done = true;
}

}  // namespace

Win32Form1::Win32Form1(Form1Parts parts) : stop_(std::make_unique<WaitInterrupt>()) {
  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  RegisterClasses(instance, &WindowProc, &PictureProc);

  bar_ = ::CreateMenu();
  ser_port_ = ::CreatePopupMenu();
  ::AppendMenuW(bar_, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(ser_port_), L"Serial Port");
  ::AppendMenuW(bar_, MF_STRING, kLoadFile, L"Load File");
  ::AppendMenuW(bar_, MF_STRING, kUpdate, L"Update");

  hwnd_ =
      ::CreateWindowExW(0, kWindowClass, Utf16(kWindowCaption).c_str(), kStyle, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, bar_, instance, this);
  if (hwnd_ == nullptr) {
    ::DestroyMenu(bar_);
    throw std::runtime_error("Cannot create the window: " + SystemMessage(::GetLastError()));
  }
  dpi_ = ::GetDpiForWindow(hwnd_);
  if (dpi_ == 0) dpi_ = 96;

  // Made first, so first in the tab order. It lies below the visible area on purpose:
  // reachable from the keyboard only.
  command1_ = ::CreateWindowExW(0, L"BUTTON", L"Command1",
                                WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0,
                                hwnd_, reinterpret_cast<HMENU>(kCommand1), instance, nullptr);
  picture1_ = ::CreateWindowExW(0, kPictureClass, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, 0, 0,
                                0, hwnd_, nullptr, instance, this);
  Layout();

  if (parts.program_dir.empty()) parts.program_dir = ProgramDir();
  core_ = std::make_unique<Form1>(*this, std::move(parts));
  core_->Form_Load();
}

Win32Form1::~Win32Form1() {
  core_.reset();
  StopWatching();
  if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
}

int Win32Form1::Scale(int pixels) const {
  return ::MulDiv(pixels, static_cast<int>(dpi_), 96);
}

void Win32Form1::Layout() {
  const auto place = [this](HWND control, const RECT& r) {
    ::SetWindowPos(control, nullptr, Scale(r.left), Scale(r.top), Scale(r.right - r.left),
                   Scale(r.bottom - r.top), SWP_NOZORDER | SWP_NOACTIVATE);
  };
  place(command1_, kCommand1Rect);
  place(picture1_, kPicture1Rect);
  // The outer size for the client area; a menu bar that wraps takes rows from it, so the
  // difference is added once more.
  for (int attempt = 0; attempt < 2; ++attempt) {
    RECT client{};
    ::GetClientRect(hwnd_, &client);
    RECT outer{};
    ::GetWindowRect(hwnd_, &outer);
    RECT want{0, 0, Scale(kClientWidth), Scale(kClientHeight)};
    if (attempt == 0) {
      ::AdjustWindowRectExForDpi(&want, kStyle, TRUE, 0, dpi_);
    } else {
      want = RECT{0, 0, (outer.right - outer.left) + Scale(kClientWidth) - client.right,
                  (outer.bottom - outer.top) + Scale(kClientHeight) - client.bottom};
      if (client.right == Scale(kClientWidth) && client.bottom == Scale(kClientHeight)) break;
    }
    ::SetWindowPos(hwnd_, nullptr, 0, 0, want.right - want.left, want.bottom - want.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void Win32Form1::Show(int show_command) {
  ::ShowWindow(hwnd_, show_command);
  ::UpdateWindow(hwnd_);
  ::SetFocus(command1_);
}

bool Win32Form1::Pump(MSG& msg) {
  if (::GetMessageW(&msg, nullptr, 0, 0) <= 0) return false;
  const bool ours = msg.hwnd == hwnd_ || ::IsChild(hwnd_, msg.hwnd);
  if (ours && msg.message == WM_KEYDOWN && msg.wParam == VK_TAB) {
    // Two controls in the tab order: Tab and Shift+Tab both go to the other one.
    ::SetFocus(::GetFocus() == command1_ ? picture1_ : command1_);
    return true;
  }
  ::TranslateMessage(&msg);
  if (ours && msg.message == WM_CHAR) {
    // Key preview: every typed character once, whatever holds the focus; never swallowed.
    core_->Form_KeyPress(static_cast<char16_t>(msg.wParam));
    if (msg.wParam == L'\r' && ::GetFocus() == command1_) {
      ::SendMessageW(command1_, BM_CLICK, 0, 0);  // Enter clicks it as Space does
      return true;
    }
  }
  ::DispatchMessageW(&msg);
  return true;
}

int Win32Form1::Run() {
  MSG msg{};
  while (Pump(msg)) {
  }
  return static_cast<int>(msg.wParam);
}

LRESULT CALLBACK Win32Form1::WindowProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<CREATESTRUCTW*>(lp);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Win32Form1*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr || self->hwnd_ == nullptr) return ::DefWindowProcW(hwnd, message, wp, lp);
  return self->Handle(message, wp, lp);
}

LRESULT Win32Form1::Handle(UINT message, WPARAM wp, LPARAM lp) {
  switch (message) {
    case WM_COMMAND: {
      const UINT id = LOWORD(wp);
      if (!core_) return 0;
      if (id == kLoadFile) {
        core_->LoadFile_Click();
      } else if (id == kUpdate) {
        core_->Update_Click();
      } else if (id == kCommand1 && HIWORD(wp) == BN_CLICKED) {
        core_->Command1_Click();
      } else if (id >= kPortBase && id < kPortBase + port_items_) {
        core_->Port_Click(static_cast<int>(id - kPortBase));
      }
      return 0;
    }
    case kArrival:
      if (wp == generation_ && watcher_.joinable()) {
        core_->Port_DataArrived();
        if (wp == generation_ && watcher_.joinable()) {  // still watching: wait again
          {
            std::lock_guard lock(mutex_);
            armed_ = true;
          }
          wake_.notify_one();
        }
      }
      return 0;
    case WM_ACTIVATE:
      // The control that had the focus gets it back when the window is active again.
      if (LOWORD(wp) == WA_INACTIVE) {
        const HWND focus = ::GetFocus();
        if (focus == command1_ || focus == picture1_) focus_ = focus;
      }
      return ::DefWindowProcW(hwnd_, message, wp, lp);
    case WM_SETFOCUS:
      ::SetFocus(focus_ != nullptr ? focus_ : command1_);
      return 0;
    case WM_DPICHANGED: {
      dpi_ = HIWORD(wp);
      const auto* suggested = reinterpret_cast<const RECT*>(lp);
      ::SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
      Layout();
      return 0;
    }
    case WM_CLOSE:
      if (core_) core_->Form_Unload();  // the update stopped and the port closed first
      ::DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      hwnd_ = nullptr;
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(hwnd_, message, wp, lp);
  }
}

LRESULT CALLBACK Win32Form1::PictureProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<CREATESTRUCTW*>(lp);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Win32Form1*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (message) {
    case WM_PAINT:
      if (self != nullptr) {
        self->PaintPicture(hwnd);
        return 0;
      }
      break;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
      ::InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_LBUTTONDOWN:
      ::SetFocus(hwnd);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd, message, wp, lp);
}

void Win32Form1::PaintPicture(HWND hwnd) {
  PAINTSTRUCT ps;
  const HDC dc = ::BeginPaint(hwnd, &ps);
  RECT r{};
  ::GetClientRect(hwnd, &r);
  ::FillRect(dc, &r, ::GetSysColorBrush(COLOR_WINDOW));
  ::FrameRect(dc, &r, ::GetSysColorBrush(COLOR_BTNSHADOW));
  const LONG inner = r.right - 2;
  if (scale_ > 0 && units_ > 0 && inner > 0) {
    const auto width = static_cast<LONG>(std::min<std::int64_t>(units_, scale_) * inner / scale_);
    RECT bar{1, 1, 1 + width, r.bottom - 1};
    ::FillRect(dc, &bar, ::GetSysColorBrush(COLOR_HIGHLIGHT));
  }
  if (::GetFocus() == hwnd) {
    RECT focus{2, 2, r.right - 2, r.bottom - 2};
    ::DrawFocusRect(dc, &focus);
  }
  ::EndPaint(hwnd, &ps);
}

// --- Form1Face ----------------------------------------------------------------------------------

void Win32Form1::AddPortItem(const std::string& caption) {
  const auto id = static_cast<UINT_PTR>(kPortBase + port_items_);
  ::AppendMenuW(ser_port_, MF_STRING | MF_UNCHECKED | MF_ENABLED, id, MenuText(caption).c_str());
  ++port_items_;
}

void Win32Form1::SetPortTicked(std::size_t index, bool ticked) {
  ::CheckMenuItem(ser_port_, static_cast<UINT>(kPortBase + index),
                  MF_BYCOMMAND | (ticked ? MF_CHECKED : MF_UNCHECKED));
}

void Win32Form1::SetSerPortEnabled(bool enabled) {
  ::EnableMenuItem(bar_, 0, MF_BYPOSITION | (enabled ? MF_ENABLED : MF_GRAYED));
  ::DrawMenuBar(hwnd_);
}

void Win32Form1::SetLoadFileEnabled(bool enabled) {
  ::EnableMenuItem(bar_, kLoadFile, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
  ::DrawMenuBar(hwnd_);
}

void Win32Form1::SetUpdateEnabled(bool enabled) {
  update_enabled_ = enabled;
  ::EnableMenuItem(bar_, kUpdate, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
  ::DrawMenuBar(hwnd_);
}

void Win32Form1::SetUpdateCaption(const std::string& caption) {
  update_caption_ = Utf16(caption);
  ::ModifyMenuW(bar_, kUpdate,
                MF_BYCOMMAND | MF_STRING | (update_enabled_ ? MF_ENABLED : MF_GRAYED), kUpdate,
                update_caption_.c_str());
  ::DrawMenuBar(hwnd_);
}

void Win32Form1::ShowProgress(std::int64_t units, std::int64_t scale) {
  units_ = units;
  scale_ = scale;
  ::InvalidateRect(picture1_, nullptr, FALSE);
  ::UpdateWindow(picture1_);
}

void Win32Form1::ShowMessage(const std::string& text, MessageIcon icon) {
  UINT type = MB_OK;
  if (icon == MessageIcon::Error) type |= MB_ICONERROR;
  if (icon == MessageIcon::Information) type |= MB_ICONINFORMATION;
  ::MessageBoxW(hwnd_, Utf16(text).c_str(), Utf16(kAppTitle).c_str(), type);
}

void Win32Form1::WatchPort(PortChannel& channel) {
  StopWatching();
  {
    std::lock_guard lock(mutex_);
    armed_ = true;
    quit_ = false;
  }
  watcher_ = std::thread(&Win32Form1::WatchLoop, this, &channel);
}

void Win32Form1::StopWatching() {
  if (!watcher_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    ++generation_;  // arrivals already posted are dropped
  }
  wake_.notify_all();
  stop_->Raise();  // ends a wait on the port at once
  watcher_.join();
  stop_->Clear();
}

void Win32Form1::WatchLoop(PortChannel* channel) {
  for (;;) {
    std::uintptr_t generation = 0;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return armed_ || quit_; });
      if (quit_) return;
      generation = generation_;
    }
    // No deadline of its own: Stop, the window's end or an arrival ends the wait.
    const WaitResult result =
        channel->WaitReadable(std::chrono::steady_clock::now() + std::chrono::hours(1), *stop_);
    if (result == WaitResult::kInterrupted) return;
    if (result != WaitResult::kReady) continue;
    {
      std::lock_guard lock(mutex_);
      if (quit_) return;
      armed_ = false;  // the window's thread has the port until it arms the wait again
    }
    ::PostMessageW(hwnd_, kArrival, generation, 0);
  }
}

}  // namespace pelkar
