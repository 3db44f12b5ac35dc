// Form1: the program's window. Menu "Serial Port" (one item per discovered port), the
// commands "Load File" and "Update" ("Stop" while an update runs), Picture1 as the progress
// bar, and Command1 (the checksum self-test) placed below the visible client area. Typed
// characters are previewed for the hidden encoder mode whatever holds the focus.
//
// The update runs from the port's readiness (a QSocketNotifier on its descriptor): the
// window stays live and Stop acts at once. While it runs "Load File", the Port items,
// Command1 and the encoder mode are refused, so nothing changes under it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QMainWindow>
#include <QString>

#include "app/message_boxes.h"
#include "app/ports.h"
#include "dialogs/dialog_backend.h"

class QAction;
class QMenu;
class QPushButton;
class QSocketNotifier;

namespace pelkar {

class ProgressPicture;
class WinDialog;
class UpdateExchange;

// What the window is built on. Every member may be left empty for the real thing.
struct Form1Parts {
  std::shared_ptr<PortDiscovery> ports;    // empty: the machine's ports
  std::shared_ptr<PortChannel> channel;    // empty: a serial port
  std::shared_ptr<DialogBackend> dialogs;  // empty: Qt's file dialogs
  std::shared_ptr<MessageBoxes> messages;  // empty: QMessageBox over the window
  QString program_dir;                     // empty: the folder of the running program
};

class Form1 final : public QMainWindow {
  Q_OBJECT
 public:
  // Builds the window and runs Form_Load (port discovery, initial states, current folder).
  explicit Form1(Form1Parts parts = {});
  ~Form1() override;

  // --- Handlers ---------------------------------------------------------------------------
  void Form_Load();
  // Ticks item Index (and only it), makes it SelectedPort, enables "Load File".
  void Port_Click(int Index);
  // Open dialog for a *.bin image; a refused file is reported and changes nothing.
  void LoadFile_Click();
  // Starts an update when the item reads "Update", stops the running one otherwise.
  void Update_Click();
  // The checksum self-test: FirmwareImage becomes the test pattern, ImageCrc its sum.
  void Command1_Click();
  // Every typed character; "Tavik" typed first opens the encoder mode.
  void Form_KeyPress(char16_t KeyAscii);

  // --- State, for callers and tests ---------------------------------------------------------
  std::uint8_t SelectedPort() const noexcept { return selected_port_; }
  std::int32_t ImageCrc() const noexcept { return image_crc_; }
  const std::vector<std::uint8_t>& FirmwareImage() const noexcept { return firmware_image_; }
  const std::string& KeyBuffer() const noexcept { return key_buffer_; }
  bool Running() const noexcept;

  QMenu* SerPort() const noexcept { return ser_port_; }
  const std::vector<QAction*>& Port() const noexcept { return port_items_; }
  QAction* LoadFile() const noexcept { return load_file_; }
  QAction* Update() const noexcept { return update_; }
  ProgressPicture* Picture1() const noexcept { return picture1_; }
  QPushButton* Command1() const noexcept { return command1_; }
  PortChannel& Channel();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  PortDiscovery& Ports();
  WinDialog& Dialog();
  MessageBoxes& Messages();
  QString ProgramDir() const;
  void AddPortItem(const std::string& name);
  void RunEncoder();

  void OnPortReadable();
  // Ends the running exchange: closes the port, "Update" again, commands back as before.
  void EndExchange();
  // Shows a box with the port untouched and the exchange held still meanwhile.
  void ShowHeld(const QString& text, MessageIcon icon);

  Form1Parts parts_;
  std::unique_ptr<WinDialog> dialog_;
  std::unique_ptr<UpdateExchange> exchange_;
  std::unique_ptr<QSocketNotifier> notifier_;

  std::vector<std::uint8_t> firmware_image_;
  std::uint8_t selected_port_ = 0;
  std::int32_t image_crc_ = 0;
  std::string key_buffer_;
  bool port_chosen_ = false;
  bool image_loaded_ = false;

  QMenu* ser_port_ = nullptr;
  std::vector<QAction*> port_items_;
  QAction* load_file_ = nullptr;
  QAction* update_ = nullptr;
  ProgressPicture* picture1_ = nullptr;
  QPushButton* command1_ = nullptr;
};

}  // namespace pelkar
