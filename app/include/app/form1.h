// Form1: the program's window as behaviour, with no toolkit. It owns the application's state
// (the port items and their ticks, the loaded image and its checksum, the typed keys), runs
// the handlers, drives the update exchange from the port's arrivals and shows what it has
// to say through its face, which only draws and forwards events: a Qt window on Linux, a
// Win32 window on Windows.
//
// While an update runs, "Load File", the Port items, Command1 and the encoder mode are
// refused, so nothing changes under it; "Update" reads "Stop" and stops it at once.
// Single-threaded: every call comes on the window's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/ports.h"
#include "dialogs/dialog_backend.h"
#include "firmware/update_session.h"
#include "serial/session_driver.h"

namespace pelkar {

class WinDialog;

// The application's title: every message box carries it.
inline constexpr const char* kAppTitle = "Pelkar Update utility";
// The window's caption.
inline constexpr const char* kWindowCaption = "Pelkar1 Update utility";

// What a window toolkit does for Form1. Text is UTF-8.
class Form1Face {
 public:
  virtual ~Form1Face() = default;

  // A new last item of the "Serial Port" menu: enabled, no tick, the caption as plain text
  // (an "&" is shown, never taken as a mnemonic).
  virtual void AddPortItem(const std::string& caption) = 0;
  virtual void SetPortTicked(std::size_t index, bool ticked) = 0;
  // Every item of the "Serial Port" menu goes; items are added again next. Only faces whose
  // ports can change while the window is open (the page, when a port is granted) get it.
  virtual void ClearPortItems() {}
  virtual void SetSerPortEnabled(bool enabled) = 0;
  virtual void SetLoadFileEnabled(bool enabled) = 0;
  virtual void SetUpdateEnabled(bool enabled) = 0;
  virtual void SetUpdateCaption(const std::string& caption) = 0;
  // Picture1: its full width stands for scale units; the bar covers units of them. The face
  // keeps both, so a repaint draws the bar again.
  virtual void ShowProgress(std::int64_t units, std::int64_t scale) = 0;
  // A modal box titled kAppTitle with an OK button and the icon; returns once dismissed.
  virtual void ShowMessage(const std::string& text, MessageIcon icon) = 0;
  // From now on, calls Form1::Port_DataArrived on the window's thread whenever the channel
  // has bytes waiting or has gone away, one call at a time, until StopWatching. The window
  // keeps handling its events meanwhile.
  virtual void WatchPort(PortChannel& channel) = 0;
  // No further Port_DataArrived calls, including ones already on their way.
  virtual void StopWatching() = 0;
  // The window that owns the dialogs.
  virtual DialogOwner DialogParent() = 0;
};

// What Form1 is built on. Empty members mean the machine's own.
struct Form1Parts {
  std::shared_ptr<PortDiscovery> ports;    // empty: the machine's ports
  std::shared_ptr<PortChannel> channel;    // empty: a serial port
  std::shared_ptr<DialogBackend> dialogs;  // empty: the system's dialogs
  std::string program_dir;                 // the folder of the running program (UTF-8)
};

class Form1 {
 public:
  // face must outlive this object. Nothing is shown until Form_Load.
  Form1(Form1Face& face, Form1Parts parts);
  ~Form1();  // stops a running update and closes the port
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  // --- Handlers ---------------------------------------------------------------------------
  // Port discovery into the Port items, the commands locked, the program's folder current.
  void Form_Load();
  // The ports changed while the window is open (the browser granted the page one): discovery
  // again into new Port items. The chosen port stays chosen when it is still there; when it
  // is gone, no port is chosen and "Load File" and "Update" are locked, so that no other device
  // gets the image; a port and a file are then chosen again. Refused while an update runs.
  void Ports_Changed();
  // Ticks item Index (and only it), makes it SelectedPort, enables "Load File".
  void Port_Click(int Index);
  // Open dialog for a *.bin image; a refused file is reported and changes nothing.
  void LoadFile_Click();
  // Starts an update when the item reads "Update", stops the running one otherwise.
  void Update_Click();
  // The checksum self-test: FirmwareImage becomes the test pattern, ImageCrc its sum.
  void Command1_Click();
  // Every typed character (a UTF-16 unit); "Tavik" typed first opens the encoder mode.
  void Form_KeyPress(char16_t KeyAscii);
  // The window closes: a running update is stopped and the port closed.
  void Form_Unload();
  // The port has bytes waiting or has gone away (the face's WatchPort).
  void Port_DataArrived();

  // --- State, for faces and tests -----------------------------------------------------------
  std::uint8_t SelectedPort() const noexcept { return selected_port_; }
  std::int32_t ImageCrc() const noexcept { return image_crc_; }
  const std::vector<std::uint8_t>& FirmwareImage() const noexcept { return firmware_image_; }
  const std::string& KeyBuffer() const noexcept { return key_buffer_; }
  bool Running() const noexcept { return session_ != nullptr; }
  std::size_t PortCount() const noexcept { return ticks_.size(); }
  bool PortTicked(std::size_t index) const { return ticks_.at(index); }
  bool LoadFileEnabled() const noexcept { return load_file_enabled_; }
  bool UpdateEnabled() const noexcept { return update_enabled_; }
  bool SerPortEnabled() const noexcept { return !Running(); }
  const std::string& UpdateCaption() const noexcept { return update_caption_; }
  PortChannel& Channel();
  WinDialog& Dialog();

 private:
  PortDiscovery& Ports();
  void SetLoadFileEnabled(bool enabled);
  void SetUpdateEnabled(bool enabled);
  void SetUpdateCaption(const char* caption);
  void SetTick(std::size_t index, bool ticked);
  void AddPortItems();
  void RunEncoder();
  // Ends the running exchange: the port closed, "Update" again, the commands as before.
  void EndExchange();
  // Tells the user how the exchange ended, the port still open and held still meanwhile,
  // then ends it.
  void EndExchangeWith(const std::string& text, MessageIcon icon);
  // The bar follows the progress; the end is kept for the message.
  void Take(const std::vector<SessionEvent>& events);

  Form1Face& face_;
  Form1Parts parts_;
  std::unique_ptr<WinDialog> dialog_;
  // The running update; with no time-outs and one unit, as the window has always waited.
  std::unique_ptr<UpdateSession> session_;
  std::unique_ptr<SessionDriver> driver_;
  std::optional<UnitEnd> ended_;

  std::vector<std::uint8_t> firmware_image_;
  std::uint8_t selected_port_ = 0;
  std::int32_t image_crc_ = 0;
  std::string key_buffer_;
  std::vector<bool> ticks_;
  bool port_chosen_ = false;
  bool load_file_enabled_ = false;
  bool update_enabled_ = false;
  std::string update_caption_ = "Update";
};

}  // namespace pelkar
