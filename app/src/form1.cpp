#include "app/form1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QKeyEvent>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSocketNotifier>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "app/app_icon.h"
#include "app/progress_picture.h"
#include "dialogs/win_dialog.h"
#include "firmware/encoder.h"
#include "firmware/image.h"
#include "firmware/update_exchange.h"
#include "hex/intel_hex.h"
#include "serial_adapters.h"

namespace pelkar {
namespace {

constexpr std::int32_t kBaudRate = 115200;
constexpr int kClientWidth = 361;  // 5415 twips
constexpr int kClientHeight = 30;  // 450 twips
const char* const kAccessCode = "Tavik";

QString Qs(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

Form1::Form1(Form1Parts parts) : parts_(std::move(parts)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Pelkar1 Update utility"));
  setWindowIcon(AppIcon());

  auto* client = new QWidget(this);
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);

  // Created first so that it is first in the tab order and takes the focus at start. It sits
  // below the visible area on purpose: reachable from the keyboard only.
  command1_ = new QPushButton(QStringLiteral("Command1"), client);
  command1_->setObjectName(QStringLiteral("Command1"));
  command1_->setGeometry(60, 56, 69, 37);
  command1_->setAutoDefault(true);  // Enter clicks it as Space does
  connect(command1_, &QPushButton::clicked, this, [this] { Command1_Click(); });

  picture1_ = new ProgressPicture(client);
  picture1_->setGeometry(4, 4, 353, 21);
  setTabOrder(command1_, picture1_);
  command1_->setFocus();

  ser_port_ = menuBar()->addMenu(QStringLiteral("Serial Port"));
  load_file_ = menuBar()->addAction(QStringLiteral("Load File"));
  update_ = menuBar()->addAction(QStringLiteral("Update"));
  connect(load_file_, &QAction::triggered, this, [this] { LoadFile_Click(); });
  connect(update_, &QAction::triggered, this, [this] { Update_Click(); });

  // The size is fixed: enlarging the window would uncover Command1.
  layout()->setSizeConstraint(QLayout::SetFixedSize);

  // Key preview: every key typed into this window, whatever holds the focus.
  qApp->installEventFilter(this);

  Form_Load();
}

Form1::~Form1() {
  qApp->removeEventFilter(this);
  if (Running()) EndExchange();
}

bool Form1::Running() const noexcept {
  return notifier_ != nullptr;
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
  if (!dialog_) dialog_ = std::make_unique<WinDialog>(parts_.dialogs);
  return *dialog_;
}

MessageBoxes& Form1::Messages() {
  if (!parts_.messages) parts_.messages = std::make_shared<QtMessageBoxes>(this);
  return *parts_.messages;
}

QString Form1::ProgramDir() const {
  return parts_.program_dir.isEmpty() ? QCoreApplication::applicationDirPath() : parts_.program_dir;
}

void Form1::AddPortItem(const std::string& name) {
  QString caption = Qs(name);
  caption.replace(QLatin1Char('&'), QStringLiteral("&&"));  // no mnemonics
  QAction* item = ser_port_->addAction(caption);
  item->setCheckable(true);
  const int index = static_cast<int>(port_items_.size());
  connect(item, &QAction::triggered, this, [this, item, index] {
    // Qt has already flipped the tick; put it back, Port_Click decides it.
    item->setChecked(!item->isChecked());
    Port_Click(index);
  });
  port_items_.push_back(item);
}

void Form1::Form_Load() {
  Ports().Query();
  const std::uint8_t count = Ports().Count();
  for (std::uint8_t i = 0; i < count || (i == 0 && count == 0); ++i) {
    AddPortItem(count == 0 ? std::string() : Ports().Name(i));
    if (i == 255) break;
  }
  load_file_->setEnabled(false);
  update_->setEnabled(false);
  QDir::setCurrent(ProgramDir());
}

void Form1::Port_Click(int Index) {
  if (Running() || Index < 0 || static_cast<std::size_t>(Index) >= port_items_.size()) return;
  port_items_[selected_port_]->setChecked(false);
  QAction* item = port_items_[static_cast<std::size_t>(Index)];
  item->setChecked(!item->isChecked());
  selected_port_ = static_cast<std::uint8_t>(Index);
  port_chosen_ = true;
  load_file_->setEnabled(true);
}

void Form1::LoadFile_Click() {
  if (Running()) return;
  QDir::setCurrent(ProgramDir());
  WinDialog& dialog = Dialog();
  dialog.FileName("");
  dialog.Filter("*.bin|*.bin");
  dialog.OpenFile();
  if (dialog.FileName().empty()) return;
  pelkar::FirmwareImage image;
  try {
    image = LoadImageFile(dialog.FileName());
  } catch (const ImageFileError& refusal) {
    Messages().Show(Qs(refusal.what()), MessageIcon::Error);
    return;
  }
  firmware_image_ = std::move(image.bytes);
  image_crc_ = image.crc;
  image_loaded_ = true;
  update_->setEnabled(true);
}

void Form1::Command1_Click() {
  if (Running()) return;
  pelkar::FirmwareImage pattern = SelfTestImage();
  firmware_image_ = std::move(pattern.bytes);
  image_crc_ = pattern.crc;  // set, not added: the same pattern always gets the same sum
}

void Form1::Form_KeyPress(char16_t KeyAscii) {
  key_buffer_ += QString(QChar(KeyAscii)).toStdString();
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
    Messages().Show(Qs(why + "\nNothing was written."), MessageIcon::Error);
  };
  const std::string name = std::filesystem::path(hex_path).filename().string();
  std::vector<std::uint8_t> image;
  try {
    // Beside the HEX file: Qt's dialogs leave the current folder alone.
    EncodeHexFile(hex_path, &image);
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
  Messages().Show(QString::fromUtf8("Kész"), MessageIcon::None);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
    auto* widget = static_cast<QWidget*>(watched);
    // A key travels up from the focus widget to its parents; count it once, at the start.
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : this;
    if (widget == target && widget->window() == this) {
      const QString text = static_cast<QKeyEvent*>(event)->text();
      if (!text.isEmpty()) Form_KeyPress(text.at(0).unicode());
    }
  }
  return QMainWindow::eventFilter(watched, event);  // never swallowed
}

void Form1::closeEvent(QCloseEvent* event) {
  if (Running()) EndExchange();
  event->accept();
}

// --- The update exchange ----------------------------------------------------------------------

void Form1::Update_Click() {
  if (Running()) {  // acting as Stop: the bar keeps what was drawn
    exchange_->Stop();
    EndExchange();
    return;
  }
  picture1_->Start(static_cast<std::int64_t>(firmware_image_.size()));
  try {
    exchange_ = std::make_unique<UpdateExchange>(firmware_image_, image_crc_);
  } catch (const std::invalid_argument&) {
    // Only whole 256-byte blocks can be sent; the loader refuses anything else.
    Messages().Show(QStringLiteral("There is no firmware image to send. Load a file first."),
                    MessageIcon::Error);
    return;
  }
  PortChannel& channel = Channel();
  if (!channel.Open(Ports().Number(selected_port_), kBaudRate)) {
    exchange_->Start(false);
    Messages().Show(Qs(exchange_->message()->text), exchange_->message()->icon);
    channel.Close();
    return;
  }
  exchange_->Start(true);
  notifier_ = std::make_unique<QSocketNotifier>(channel.Descriptor(), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { OnPortReadable(); });
  update_->setText(QStringLiteral("Stop"));
  load_file_->setEnabled(false);
  ser_port_->setEnabled(false);
}

void Form1::EndExchange() {
  notifier_.reset();
  Channel().Close();
  update_->setText(QStringLiteral("Update"));
  load_file_->setEnabled(port_chosen_);
  ser_port_->setEnabled(true);
}

void Form1::ShowHeld(const QString& text, MessageIcon icon) {
  if (notifier_) notifier_->setEnabled(false);
  Messages().Show(text, icon);
}

void Form1::OnPortReadable() {
  if (!Running()) return;
  PortChannel& channel = Channel();
  std::vector<std::uint8_t> received;
  const PortChannel::ReadResult result = channel.ReadWaiting(received);
  std::vector<std::uint8_t> send;
  for (std::uint8_t byte : received) {
    const auto answer = exchange_->Feed(byte);
    send.insert(send.end(), answer.begin(), answer.end());
    if (exchange_->finished()) break;  // what follows the verdict is not ours
  }
  const bool written = send.empty() || channel.Write(send);
  picture1_->DrawBar(static_cast<std::int64_t>(exchange_->image_bytes_sent()));
  if (exchange_->finished()) {
    if (const auto message = exchange_->message()) ShowHeld(Qs(message->text), message->icon);
    EndExchange();
  } else if (!written || result == PortChannel::ReadResult::kLost) {
    exchange_->Stop();
    ShowHeld(QStringLiteral("The connection to the device was lost. Check the cable and try "
                            "again."),
             MessageIcon::Error);
    EndExchange();
  }
}

}  // namespace pelkar
