#include "app/qt_form1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>

#include "app/app_icon.h"
#include "app/progress_picture.h"

namespace pelkar {
namespace {

constexpr int kClientWidth = 361;  // 5415 twips
constexpr int kClientHeight = 30;  // 450 twips

QString Qs(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QtForm1::QtForm1(Form1Parts parts) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QString::fromLatin1(kWindowCaption));
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
  connect(command1_, &QPushButton::clicked, this, [this] { core_->Command1_Click(); });

  picture1_ = new ProgressPicture(client);
  picture1_->setGeometry(4, 4, 353, 21);
  setTabOrder(command1_, picture1_);
  command1_->setFocus();

  ser_port_ = menuBar()->addMenu(QStringLiteral("Serial Port"));
  load_file_ = menuBar()->addAction(QStringLiteral("Load File"));
  update_ = menuBar()->addAction(QStringLiteral("Update"));
  connect(load_file_, &QAction::triggered, this, [this] { core_->LoadFile_Click(); });
  connect(update_, &QAction::triggered, this, [this] { core_->Update_Click(); });

  // The size is fixed: enlarging the window would uncover Command1.
  layout()->setSizeConstraint(QLayout::SetFixedSize);

  // Key preview: every key typed into this window, whatever holds the focus.
  qApp->installEventFilter(this);

  if (parts.program_dir.empty()) {
    parts.program_dir = QCoreApplication::applicationDirPath().toStdString();
  }
  core_ = std::make_unique<Form1>(*this, std::move(parts));
  core_->Form_Load();
}

QtForm1::~QtForm1() {
  qApp->removeEventFilter(this);
  core_.reset();
}

void QtForm1::AddPortItem(const std::string& caption) {
  QString text = Qs(caption);
  text.replace(QLatin1Char('&'), QStringLiteral("&&"));  // no mnemonics
  QAction* item = ser_port_->addAction(text);
  item->setCheckable(true);
  const int index = static_cast<int>(port_items_.size());
  connect(item, &QAction::triggered, this, [this, item, index] {
    // Qt has already flipped the tick; put it back, Port_Click decides it.
    item->setChecked(!item->isChecked());
    core_->Port_Click(index);
  });
  port_items_.push_back(item);
}

void QtForm1::SetPortTicked(std::size_t index, bool ticked) {
  port_items_.at(index)->setChecked(ticked);
}

void QtForm1::SetSerPortEnabled(bool enabled) {
  ser_port_->setEnabled(enabled);
}

void QtForm1::SetLoadFileEnabled(bool enabled) {
  load_file_->setEnabled(enabled);
}

void QtForm1::SetUpdateEnabled(bool enabled) {
  update_->setEnabled(enabled);
}

void QtForm1::SetUpdateCaption(const std::string& caption) {
  update_->setText(Qs(caption));
}

void QtForm1::ShowProgress(std::int64_t units, std::int64_t scale) {
  if (scale != picture1_->Scale() || units < picture1_->Units()) picture1_->Start(scale);
  picture1_->DrawBar(units);
}

void QtForm1::ShowMessage(const std::string& text, MessageIcon icon) {
  QMessageBox::Icon qt_icon = QMessageBox::NoIcon;
  if (icon == MessageIcon::Error) qt_icon = QMessageBox::Critical;
  if (icon == MessageIcon::Information) qt_icon = QMessageBox::Information;
  QMessageBox box(qt_icon, QString::fromLatin1(kAppTitle), Qs(text), QMessageBox::Ok, this);
  box.exec();
}

void QtForm1::WatchPort(PortChannel& channel) {
  notifier_ = std::make_unique<QSocketNotifier>(channel.Descriptor(), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this,
          [this] { core_->Port_DataArrived(); });
}

void QtForm1::StopWatching() {
  notifier_.reset();
}

bool QtForm1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
    auto* widget = static_cast<QWidget*>(watched);
    // A key travels up from the focus widget to its parents; count it once, at the start.
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : this;
    if (widget == target && widget->window() == this) {
      const QString text = static_cast<QKeyEvent*>(event)->text();
      if (!text.isEmpty()) core_->Form_KeyPress(text.at(0).unicode());
    }
  }
  return QMainWindow::eventFilter(watched, event);  // never swallowed
}

void QtForm1::closeEvent(QCloseEvent* event) {
  core_->Form_Unload();
  event->accept();
}

}  // namespace pelkar
