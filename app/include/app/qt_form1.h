// The Qt face of Form1: the window, its menu bar ("Serial Port" with one item per port,
// "Load File", "Update"), Picture1 as the progress bar and Command1 below the visible client
// area. It draws what Form1 tells it and forwards the person's actions; typed characters are
// previewed whatever holds the focus. The port's arrivals come through a QSocketNotifier.
#pragma once

#include <memory>
#include <vector>

#include <QMainWindow>

#include "app/form1.h"

class QAction;
class QMenu;
class QPushButton;
class QSocketNotifier;

namespace pelkar {

class ProgressPicture;

class QtForm1 : public QMainWindow, public Form1Face {
  Q_OBJECT
 public:
  // Builds the window and runs Form_Load. An empty parts.program_dir means the folder of the
  // running program; empty dialogs mean Qt's.
  explicit QtForm1(Form1Parts parts = {});
  ~QtForm1() override;

  Form1& core() noexcept { return *core_; }
  QMenu* SerPort() const noexcept { return ser_port_; }
  const std::vector<QAction*>& Port() const noexcept { return port_items_; }
  QAction* LoadFile() const noexcept { return load_file_; }
  QAction* Update() const noexcept { return update_; }
  ProgressPicture* Picture1() const noexcept { return picture1_; }
  QPushButton* Command1() const noexcept { return command1_; }

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
  DialogOwner DialogParent() override { return static_cast<QWidget*>(this); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
  QMenu* ser_port_ = nullptr;
  std::vector<QAction*> port_items_;
  QAction* load_file_ = nullptr;
  QAction* update_ = nullptr;
  ProgressPicture* picture1_ = nullptr;
  QPushButton* command1_ = nullptr;
  std::unique_ptr<Form1> core_;  // last: goes first, while the controls it uses are there
};

}  // namespace pelkar
