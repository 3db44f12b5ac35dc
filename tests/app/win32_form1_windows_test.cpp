// The Win32 face under Wine: layout, menus, tab order, key preview, message boxes, and an
// update driven by the watcher's posted arrivals.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app_test_support.h"
#include "files/files.h"
#include "firmware/image.h"
#include "win32_form1_windows.h"

namespace pelkar {
namespace {

std::wstring MenuString(HMENU menu, UINT position) {
  wchar_t text[128] = {};
  ::GetMenuStringW(menu, position, text, 128, MF_BYPOSITION);
  return text;
}

UINT MenuState(HMENU menu, UINT position) {
  return ::GetMenuState(menu, position, MF_BYPOSITION);
}

RECT ChildRect(HWND child) {
  RECT r{};
  ::GetWindowRect(child, &r);
  ::MapWindowPoints(HWND_DESKTOP, ::GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// Answers every message box of this process with OK, keeping what it said.
class BoxAnswerer {
 public:
  BoxAnswerer() : thread_([this] { Run(); }) {}
  ~BoxAnswerer() {
    quit_ = true;
    thread_.join();
  }
  std::vector<std::pair<std::wstring, std::wstring>> boxes() {
    std::lock_guard lock(mutex_);
    return boxes_;
  }

 private:
  void Run() {
    while (!quit_) {
      HWND box = ::FindWindowW(L"#32770", nullptr);
      if (box != nullptr && ::IsWindowVisible(box)) {
        wchar_t title[128] = {}, text[512] = {};
        ::GetWindowTextW(box, title, 128);
        ::GetDlgItemTextW(box, 0xFFFF, text, 512);  // the static that holds a box's text
        {
          std::lock_guard lock(mutex_);
          boxes_.emplace_back(title, text);
        }
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        while (::IsWindow(box) && !quit_)
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  std::atomic<bool> quit_{false};
  std::mutex mutex_;
  std::vector<std::pair<std::wstring, std::wstring>> boxes_;
  std::thread thread_;
};

class Win32Form1Test : public ::testing::Test {
 protected:
  void Make(std::shared_ptr<PortChannel> channel = nullptr) {
    Form1Parts parts;
    parts.ports = std::make_shared<test::FakePorts>(
        std::vector<std::pair<std::string, std::uint8_t>>{{"A (COM1)", 1}, {"B & C (COM7)", 7}});
    parts.dialogs = dialogs_;
    parts.channel = std::move(channel);
    parts.program_dir = Utf8(dir_.path());
    form_ = std::make_unique<Win32Form1>(parts);
    form_->Show(SW_SHOWNORMAL);
  }
  // Runs the window's own loop, key preview and all, until pred holds or 10 s pass.
  template <typename Pred>
  bool PumpUntil(Pred pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred() && std::chrono::steady_clock::now() < end) {
      MSG msg;
      if (::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
        form_->Pump(msg);
      } else {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
      }
    }
    return pred();
  }
  void Command(UINT id) { ::SendMessageW(form_->hwnd(), WM_COMMAND, id, 0); }
  HMENU Bar() const { return ::GetMenu(form_->hwnd()); }

  test::TempDir dir_;
  std::shared_ptr<test::FakeDialogs> dialogs_ = std::make_shared<test::FakeDialogs>();
  std::unique_ptr<Win32Form1> form_;
};

int At96(const Win32Form1& form, int pixels) {
  return ::MulDiv(pixels, static_cast<int>(form.dpi()), 96);
}

TEST_F(Win32Form1Test, LayoutMenusAndTabOrder) {
  Make();
  wchar_t caption[64] = {};
  ::GetWindowTextW(form_->hwnd(), caption, 64);
  EXPECT_STREQ(caption, L"Pelkar1 Update utility");
  RECT client{};
  ::GetClientRect(form_->hwnd(), &client);
  EXPECT_EQ(client.right, At96(*form_, 361));
  EXPECT_EQ(client.bottom, At96(*form_, 30));
  const RECT picture = ChildRect(form_->picture1());
  EXPECT_EQ(picture.left, At96(*form_, 4));
  EXPECT_EQ(picture.top, At96(*form_, 4));
  EXPECT_EQ(picture.right - picture.left, At96(*form_, 353));
  EXPECT_EQ(picture.bottom - picture.top, At96(*form_, 21));
  const RECT command = ChildRect(form_->command1());
  EXPECT_EQ(command.left, At96(*form_, 60));
  EXPECT_EQ(command.top, At96(*form_, 56));
  EXPECT_EQ(command.right - command.left, At96(*form_, 69));
  EXPECT_EQ(command.bottom - command.top, At96(*form_, 37));
  // Command1 first in the tab order, with the focus; Picture1 next.
  EXPECT_EQ(::GetWindow(form_->hwnd(), GW_CHILD), form_->command1());
  EXPECT_EQ(::GetWindow(form_->command1(), GW_HWNDNEXT), form_->picture1());
  EXPECT_EQ(::GetFocus(), form_->command1());

  ASSERT_EQ(::GetMenuItemCount(Bar()), 3);
  EXPECT_EQ(MenuString(Bar(), 0), L"Serial Port");
  EXPECT_EQ(::GetSubMenu(Bar(), 0), form_->ser_port());
  EXPECT_EQ(MenuString(Bar(), 1), L"Load File");
  EXPECT_EQ(MenuString(Bar(), 2), L"Update");
  EXPECT_NE(MenuState(Bar(), 1) & MF_GRAYED, 0u);
  EXPECT_NE(MenuState(Bar(), 2) & MF_GRAYED, 0u);
  ASSERT_EQ(::GetMenuItemCount(form_->ser_port()), 2);
  EXPECT_EQ(MenuString(form_->ser_port(), 1), L"B && C (COM7)");  // no mnemonic
}

TEST_F(Win32Form1Test, PortItemsTickFromTheMenu) {
  Make();
  Command(Win32Form1::kPortBase + 1);
  Command(Win32Form1::kPortBase + 0);
  EXPECT_EQ(form_->core().SelectedPort(), 0);
  EXPECT_NE(MenuState(form_->ser_port(), 0) & MF_CHECKED, 0u);
  EXPECT_EQ(MenuState(form_->ser_port(), 1) & MF_CHECKED, 0u);
  EXPECT_EQ(MenuState(Bar(), 1) & MF_GRAYED, 0u);
}

TEST_F(Win32Form1Test, KeysArePreviewedOnceWhateverHoldsTheFocus) {
  Make();
  ::PostMessageW(form_->picture1(), WM_CHAR, L'T', 0);
  ::PostMessageW(form_->command1(), WM_CHAR, L'a', 0);
  ::PostMessageW(form_->hwnd(), WM_CHAR, L'v', 0);
  EXPECT_TRUE(PumpUntil([&] { return form_->core().KeyBuffer() == "Tav"; }))
      << form_->core().KeyBuffer();
}

TEST_F(Win32Form1Test, AnUpdateFromPostedArrivalsEndsWithTheBox) {
  auto channel = std::make_shared<test::DeviceChannel>();
  Make(channel);
  Command(Win32Form1::kPortBase + 1);
  std::vector<std::uint8_t> image = SelfTestImage().bytes;
  Scramble(image);
  const auto path = dir_.path() / "fw.bin";
  WriteFileAtomically(path, image, {}, Durability::Unsynced);
  dialogs_->answers = {Utf8(path)};
  Command(Win32Form1::kLoadFile);
  EXPECT_EQ(dialogs_->owners.back(), form_->hwnd());  // the dialogs are the window's
  BoxAnswerer answerer;
  Command(Win32Form1::kUpdate);
  EXPECT_EQ(MenuString(Bar(), 2), L"Stop");
  channel->Hello();
  ASSERT_TRUE(PumpUntil([&] { return !form_->core().Running(); }));
  EXPECT_EQ(MenuString(Bar(), 2), L"Update");
  EXPECT_EQ(channel->device.received_image(), form_->core().FirmwareImage());
  ASSERT_TRUE(PumpUntil([&] { return !answerer.boxes().empty(); }));
  EXPECT_EQ(answerer.boxes()[0].first, L"Pelkar Update utility");
  EXPECT_EQ(answerer.boxes()[0].second, L"Update OK");
}

TEST_F(Win32Form1Test, StopAndClosingEndTheWatchAtOnce) {
  DeviceOptions silent;
  silent.silent_after = 2;
  auto channel = std::make_shared<test::DeviceChannel>(silent);
  Make(channel);
  Command(Win32Form1::kPortBase + 1);
  std::vector<std::uint8_t> image = SelfTestImage().bytes;
  const auto path = dir_.path() / "fw.bin";
  WriteFileAtomically(path, image, {}, Durability::Unsynced);
  dialogs_->answers = {Utf8(path)};
  Command(Win32Form1::kLoadFile);
  for (bool by_closing : {false, true}) {
    Command(Win32Form1::kUpdate);
    channel->Hello();
    ASSERT_TRUE(PumpUntil([&] { return channel->device.silent(); }));
    EXPECT_TRUE(channel->IsOpen());
    if (by_closing) {
      ::SendMessageW(form_->hwnd(), WM_CLOSE, 0, 0);
    } else {
      // The watcher is waiting on the port: Stop ends that wait at once.
      const auto start = std::chrono::steady_clock::now();
      Command(Win32Form1::kUpdate);
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
      channel->device = DeviceModel(silent);
    }
    EXPECT_FALSE(form_->core().Running());
    EXPECT_FALSE(channel->IsOpen());
  }
}

}  // namespace
}  // namespace pelkar
