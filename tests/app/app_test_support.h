// Stand-ins for the machine's ports, a person at the dialogs and the message boxes.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QDir>

#include "app/form1.h"
#include "app/message_boxes.h"
#include "app/ports.h"
#include "dialogs/dialog_backend.h"

namespace pelkar::test {

class FakePorts final : public PortDiscovery {
 public:
  explicit FakePorts(std::vector<std::pair<std::string, std::uint8_t>> entries)
      : entries_(std::move(entries)) {}
  void Query() override { ++queries; }
  std::uint8_t Count() const override {
    return entries_.empty() ? 1 : static_cast<std::uint8_t>(entries_.size());
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
};

// Answers each open dialog with the next queued path; nothing queued (or "") = cancel.
class FakeDialogs final : public DialogBackend {
 public:
  std::optional<FileChoice> OpenFile(const FileRequest& request) override {
    requests.push_back(request);
    current_dirs.push_back(QDir::currentPath().toStdString());
    if (answers.empty()) return std::nullopt;
    std::string path = answers.front();
    answers.pop_front();
    if (path.empty()) return std::nullopt;
    const auto slash = path.find_last_of('/');
    return FileChoice{path, 1, slash == std::string::npos ? path : path.substr(slash + 1)};
  }
  std::optional<FileChoice> SaveFile(const FileRequest&) override { return std::nullopt; }
  std::optional<ColorChoice> GetColor(const ColorRequest&, QWidget*) override {
    return std::nullopt;
  }
  std::optional<FontChoice> GetFont(const FontRequest&, QWidget*) override { return std::nullopt; }
  std::deque<std::string> answers;
  std::vector<FileRequest> requests;
  std::vector<std::string> current_dirs;  // the current folder as each dialog opened
};

struct Shown {
  std::string text;
  MessageIcon icon;
};

class RecordedMessages final : public MessageBoxes {
 public:
  void Show(const QString& text, MessageIcon icon) override {
    shown.push_back({text.toStdString(), icon});
    if (on_show) on_show();
  }
  std::vector<Shown> shown;
  std::function<void()> on_show;  // runs while the box would be up
};

}  // namespace pelkar::test
