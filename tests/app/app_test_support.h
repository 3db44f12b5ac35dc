// Stand-ins for the machine's ports, a person at the dialogs, and a face that records what
// Form1 shows instead of drawing it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../common/device_channel.h"
#include "app/form1.h"
#include "app/ports.h"
#include "dialogs/dialog_backend.h"
#include "files/files.h"

namespace pelkar::test {

// A fresh folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    static int serial = 0;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("pelkar-app-" + std::to_string(stamp) + "-" + std::to_string(++serial));
    std::filesystem::create_directories(path_);
    path_ = std::filesystem::canonical(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::current_path(std::filesystem::temp_directory_path(), ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

class FakePorts final : public PortDiscovery {
 public:
  explicit FakePorts(std::vector<std::pair<std::string, std::uint8_t>> entries)
      : entries_(entries), next_(std::move(entries)) {}
  void Query() override {
    ++queries;
    entries_ = next_;
  }
  std::uint8_t Count() const override {
    return entries_.empty() ? 1 : static_cast<std::uint8_t>(entries_.size());
  }
  // What the next Query finds.
  void Change(std::vector<std::pair<std::string, std::uint8_t>> entries) {
    next_ = std::move(entries);
  }
  std::string Name(std::uint8_t i) const override {
    return i < entries_.size() ? entries_[i].first : std::string();
  }
  std::uint8_t Number(std::uint8_t i) const override {
    return i < entries_.size() ? entries_[i].second : 0;
  }
  int queries = 0;

 private:
  std::vector<std::pair<std::string, std::uint8_t>> entries_;
  std::vector<std::pair<std::string, std::uint8_t>> next_;
};

// Answers each open dialog with the next queued path (UTF-8); nothing queued or "" = cancel.
class FakeDialogs final : public DialogBackend {
 public:
  std::optional<FileChoice> OpenFile(const FileRequest& request, DialogOwner owner) override {
    requests.push_back(request);
    owners.push_back(owner);
    current_dirs.push_back(std::filesystem::current_path());
    if (answers.empty()) return std::nullopt;
    std::string path = answers.front();
    answers.pop_front();
    if (path.empty()) return std::nullopt;
    return FileChoice{path, 1, Utf8(Utf8Path(path).filename())};
  }
  std::optional<FileChoice> SaveFile(const FileRequest&, DialogOwner) override {
    return std::nullopt;
  }
  std::optional<ColorChoice> GetColor(const ColorRequest&, DialogOwner) override {
    return std::nullopt;
  }
  std::optional<FontChoice> GetFont(const FontRequest&, DialogOwner) override {
    return std::nullopt;
  }
  std::deque<std::string> answers;
  std::vector<FileRequest> requests;
  std::vector<DialogOwner> owners;
  std::vector<std::filesystem::path> current_dirs;  // the current folder as each dialog opened
};

struct Shown {
  std::string text;
  MessageIcon icon;
};

// Records what Form1 would draw and show. Arrivals are delivered by the test (Pump).
class RecordingFace final : public Form1Face {
 public:
  void AddPortItem(const std::string& caption) override {
    captions.push_back(caption);
    ticks.push_back(false);
  }
  void ClearPortItems() override {
    captions.clear();
    ticks.clear();
  }
  void SetPortTicked(std::size_t index, bool ticked) override { ticks.at(index) = ticked; }
  void SetSerPortEnabled(bool enabled) override { ser_port_enabled = enabled; }
  void SetLoadFileEnabled(bool enabled) override { load_file_enabled = enabled; }
  void SetUpdateEnabled(bool enabled) override { update_enabled = enabled; }
  void SetUpdateCaption(const std::string& caption) override { update_caption = caption; }
  void ShowProgress(std::int64_t u, std::int64_t s) override {
    units = u;
    scale = s;
  }
  void ShowMessage(const std::string& text, MessageIcon icon) override {
    shown.push_back({text, icon});
    if (on_show) on_show();
  }
  void WatchPort(PortChannel& channel) override { watched = &channel; }
  void StopWatching() override { watched = nullptr; }
  DialogOwner DialogParent() override { return this; }

  std::vector<std::string> captions;
  std::vector<bool> ticks;
  bool ser_port_enabled = false;
  bool load_file_enabled = true;  // so that Form_Load is seen to disable them
  bool update_enabled = true;
  std::string update_caption;
  std::int64_t units = -1, scale = -1;
  std::vector<Shown> shown;
  std::function<void()> on_show;  // runs while the box would be up
  PortChannel* watched = nullptr;
};

}  // namespace pelkar::test
