#include "app/form1.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "dialogs/win_dialog.h"
#include "files/files.h"
#include "firmware/encoder.h"
#include "firmware/image.h"
#include "hex/intel_hex.h"
#include "serial_adapters.h"

namespace pelkar {
namespace {

const char* const kAccessCode = "Tavik";

// One UTF-16 unit as UTF-8; half of a surrogate pair stands for a character no code has.
std::string Utf8Unit(char16_t unit) {
  const auto c = static_cast<std::uint32_t>(unit);
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c >= 0xD800 && c < 0xE000) {
    out += "\xEF\xBF\xBD";  // U+FFFD
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

}  // namespace

Form1::Form1(Form1Face& face, Form1Parts parts) : face_(face), parts_(std::move(parts)) {}

Form1::~Form1() {
  Form_Unload();
}

PortDiscovery& Form1::Ports() {
  if (!parts_.ports) parts_.ports = MakeSystemPortDiscovery();
  return *parts_.ports;
}

PortChannel& Form1::Channel() {
  if (!parts_.channel) parts_.channel = MakeSerialChannel();
  return *parts_.channel;
}

WinDialog& Form1::Dialog() {
  if (!dialog_) {
    dialog_ = std::make_unique<WinDialog>(parts_.dialogs);
    dialog_->Owner(face_.DialogParent());
  }
  return *dialog_;
}

void Form1::SetLoadFileEnabled(bool enabled) {
  load_file_enabled_ = enabled;
  face_.SetLoadFileEnabled(enabled);
}

void Form1::SetUpdateEnabled(bool enabled) {
  update_enabled_ = enabled;
  face_.SetUpdateEnabled(enabled);
}

void Form1::SetUpdateCaption(const char* caption) {
  update_caption_ = caption;
  face_.SetUpdateCaption(update_caption_);
}

void Form1::SetTick(std::size_t index, bool ticked) {
  ticks_.at(index) = ticked;
  face_.SetPortTicked(index, ticked);
}

void Form1::AddPortItems() {
  // Discovery always leaves one entry, an empty one when no port was found.
  const std::uint8_t count = std::max<std::uint8_t>(Ports().Count(), 1);
  for (std::uint8_t i = 0; i < count; ++i) {
    ticks_.push_back(false);
    face_.AddPortItem(i < Ports().Count() ? Ports().Name(i) : std::string());
  }
}

void Form1::Form_Load() {
  Ports().Query();
  AddPortItems();
  SetLoadFileEnabled(false);
  SetUpdateEnabled(false);
  SetUpdateCaption("Update");
  face_.SetSerPortEnabled(true);
  if (!parts_.program_dir.empty()) {
    std::error_code ignored;  // the dialogs then start wherever the system likes
    std::filesystem::current_path(Utf8Path(parts_.program_dir), ignored);
  }
}

void Form1::Ports_Changed() {
  if (Running()) return;
  // The chosen port is known by its number: its place in the list may move.
  const std::uint8_t chosen = port_chosen_ ? Ports().Number(selected_port_) : 0;
  Ports().Query();
  face_.ClearPortItems();
  ticks_.clear();
  AddPortItems();
  selected_port_ = 0;
  port_chosen_ = false;
  for (std::uint8_t i = 0; chosen != 0 && i < Ports().Count(); ++i) {
    if (Ports().Number(i) != chosen) continue;
    selected_port_ = i;
    port_chosen_ = true;
    SetTick(i, true);
    break;
  }
  SetLoadFileEnabled(port_chosen_);
  if (!port_chosen_) SetUpdateEnabled(false);
}

void Form1::Port_Click(int Index) {
  if (Running() || Index < 0 || static_cast<std::size_t>(Index) >= ticks_.size()) return;
  const auto index = static_cast<std::size_t>(Index);
  SetTick(selected_port_, false);
  SetTick(index, !ticks_[index]);
  selected_port_ = static_cast<std::uint8_t>(Index);
  port_chosen_ = true;
  SetLoadFileEnabled(true);
}

void Form1::LoadFile_Click() {
  if (Running() || !load_file_enabled_) return;
  if (!parts_.program_dir.empty()) {
    std::error_code ignored;
    std::filesystem::current_path(Utf8Path(parts_.program_dir), ignored);
  }
  WinDialog& dialog = Dialog();
  dialog.FileName("");
  dialog.Filter("*.bin|*.bin");
  dialog.OpenFile();
  if (dialog.FileName().empty()) return;
  pelkar::FirmwareImage image;
  try {
    image = LoadImageFile(Utf8Path(dialog.FileName()));
  } catch (const ImageFileError& refusal) {
    face_.ShowMessage(refusal.what(), MessageIcon::Error);
    return;
  }
  firmware_image_ = std::move(image.bytes);
  image_crc_ = image.crc;
  SetUpdateEnabled(true);
}

void Form1::Command1_Click() {
  if (Running()) return;
  pelkar::FirmwareImage pattern = SelfTestImage();
  firmware_image_ = std::move(pattern.bytes);
  image_crc_ = pattern.crc;  // set, not added: the same pattern always gets the same sum
}

void Form1::Form_KeyPress(char16_t KeyAscii) {
  key_buffer_ += Utf8Unit(KeyAscii);
  if (key_buffer_ != kAccessCode) return;
  if (Running()) {
    // Refused while an update runs; emptied so the code can be typed again afterwards.
    key_buffer_.clear();
    return;
  }
  RunEncoder();
}

void Form1::RunEncoder() {
  WinDialog& dialog = Dialog();
  dialog.FileName("");
  dialog.Filter("*.hex|*.hex");
  dialog.OpenFile();
  key_buffer_.clear();  // after a cancel too, so the code can be typed again
  const std::string hex_path = dialog.FileName();
  if (hex_path.empty()) return;
  const auto refuse = [this](const std::string& why) {
    face_.ShowMessage(why + "\nNothing was written.", MessageIcon::Error);
  };
  const std::string name = Utf8(Utf8Path(hex_path).filename());
  std::vector<std::uint8_t> image;
  try {
    // Beside the HEX file, wherever the dialog left the current folder.
    EncodeHexFile(Utf8Path(hex_path), &image);
  } catch (const HexError& e) {
    return refuse(name + ": " + e.what());
  } catch (const EncodeError& e) {
    return refuse(name + ": " + e.what());
  } catch (const FileError& e) {
    return refuse(e.what());
  }
  firmware_image_ = std::move(image);
  // The sum goes with the image: an Update enabled by an earlier load must not send the new
  // image with the old image's sum.
  image_crc_ = pelkar::ImageCrc(firmware_image_);
  face_.ShowMessage("K\xC3\xA9sz", MessageIcon::None);
}

void Form1::Form_Unload() {
  if (!Running()) return;
  session_->Stop(SessionClock::now(), UnitResult::Stopped);
  EndExchange();
}

// --- The update exchange ----------------------------------------------------------------------

void Form1::Update_Click() {
  if (!update_enabled_) return;
  if (Running()) {  // acting as Stop: the bar keeps what was drawn
    session_->Stop(SessionClock::now(), UnitResult::Stopped);
    EndExchange();
    return;
  }
  const auto scale = static_cast<std::int64_t>(firmware_image_.size());
  face_.ShowProgress(0, scale);
  std::unique_ptr<UpdateSession> session;
  try {
    session = std::make_unique<UpdateSession>(firmware_image_, image_crc_, SessionRules{});
  } catch (const std::invalid_argument&) {
    // Only whole 256-byte blocks can be sent; the loader refuses anything else.
    face_.ShowMessage("There is no firmware image to send. Load a file first.", MessageIcon::Error);
    return;
  }
  PortChannel& channel = Channel();
  const bool open = channel.Open(Ports().Number(selected_port_), kBaudRate);
  ended_.reset();
  Take(session->Start(SessionClock::now(), open).events);
  if (!open) {
    face_.ShowMessage(ended_->message->text, ended_->message->icon);
    channel.Close();
    return;
  }
  session_ = std::move(session);
  driver_ = std::make_unique<SessionDriver>(channel, *session_);
  SetUpdateCaption("Stop");
  SetLoadFileEnabled(false);
  face_.SetSerPortEnabled(false);
  face_.WatchPort(channel);
}

void Form1::Take(const std::vector<SessionEvent>& events) {
  for (const SessionEvent& event : events) {
    if (const auto* p = std::get_if<Progress>(&event)) {
      face_.ShowProgress(static_cast<std::int64_t>(p->image_bytes_sent),
                         static_cast<std::int64_t>(p->image_size));
    } else if (const auto* end = std::get_if<UnitEnd>(&event)) {
      ended_ = *end;
    }
  }
}

void Form1::EndExchange() {
  face_.StopWatching();
  driver_.reset();
  session_.reset();
  Channel().Close();
  SetUpdateCaption("Update");
  SetLoadFileEnabled(port_chosen_);
  face_.SetSerPortEnabled(true);
}

void Form1::EndExchangeWith(const std::string& text, MessageIcon icon) {
  face_.StopWatching();
  face_.ShowMessage(text, icon);
  EndExchange();
}

void Form1::Port_DataArrived() {
  if (!Running()) return;
  Take(driver_->Service());
  if (!session_->done()) return;
  if (ended_ && ended_->result == UnitResult::PortLost) {
    return EndExchangeWith("The connection to the device was lost. Check the cable and try again.",
                           MessageIcon::Error);
  }
  if (ended_ && ended_->message)
    return EndExchangeWith(ended_->message->text, ended_->message->icon);
  EndExchange();
}

}  // namespace pelkar
