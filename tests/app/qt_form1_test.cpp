// The Qt face: layout, menus, tab order, focus, key preview, the dialogs' modality and the
// message boxes. Behaviour is tested on the core (form1_test.cpp).
#include <memory>
#include <optional>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/progress_picture.h"
#include "app/qt_form1.h"
#include "app_test_support.h"

namespace pelkar {
namespace {

using test::FakeDialogs;
using test::FakePorts;

class QtForm1Test : public ::testing::Test {
 protected:
  void Make(std::vector<std::pair<std::string, std::uint8_t>> ports, bool fake_dialogs = true) {
    Form1Parts parts;
    parts.ports = std::make_shared<FakePorts>(std::move(ports));
    if (fake_dialogs) parts.dialogs = dialogs_;
    parts.program_dir = dir_.path().toStdString();
    form_ = std::make_unique<QtForm1>(parts);
    form_->show();
    QApplication::setActiveWindow(form_.get());
  }
  void Type(const QString& text) {
    for (QChar c : text) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(
          QApplication::focusWidget() ? QApplication::focusWidget() : form_.get(), &press);
    }
  }

  QTemporaryDir dir_;
  std::shared_ptr<FakeDialogs> dialogs_ = std::make_shared<FakeDialogs>();
  std::unique_ptr<QtForm1> form_;
};

TEST_F(QtForm1Test, LayoutCaptionsAndTabOrder) {
  Make({{"A (COM1)", 1}, {"B & C (COM33)", 33}});
  EXPECT_EQ(form_->windowTitle(), "Pelkar1 Update utility");
  EXPECT_EQ(form_->centralWidget()->size(), QSize(361, 30));
  EXPECT_EQ(form_->Picture1()->geometry(), QRect(4, 4, 353, 21));
  EXPECT_EQ(form_->Command1()->geometry(), QRect(60, 56, 69, 37));
  EXPECT_EQ(form_->Command1()->text(), "Command1");
  EXPECT_TRUE(form_->Command1()->isEnabled());
  EXPECT_EQ(form_->Command1()->nextInFocusChain(), form_->Picture1());
  const QList<QAction*> bar = form_->menuBar()->actions();
  ASSERT_EQ(bar.size(), 3);
  EXPECT_EQ(bar[0]->text(), "Serial Port");
  EXPECT_EQ(bar[0]->menu(), form_->SerPort());
  EXPECT_EQ(bar[1], form_->LoadFile());
  EXPECT_EQ(bar[2], form_->Update());
  EXPECT_EQ(form_->Update()->text(), "Update");
  EXPECT_EQ(form_->LoadFile()->text(), "Load File");
  EXPECT_FALSE(form_->LoadFile()->isEnabled());
  EXPECT_FALSE(form_->Update()->isEnabled());
  for (QAction* a : bar)
    EXPECT_TRUE(a->shortcut().isEmpty());
  ASSERT_EQ(form_->Port().size(), 2u);
  EXPECT_EQ(form_->Port()[1]->text(), "B && C (COM33)");  // shown as written, no mnemonic
  EXPECT_FALSE(form_->windowIcon().isNull());
  EXPECT_EQ(QApplication::focusWidget(), form_->Command1());
  EXPECT_EQ(QDir::currentPath(), dir_.path());
}

TEST_F(QtForm1Test, PortItemsTickAsTheCoreSays) {
  Make({{"A", 1}, {"B", 2}, {"C", 3}});
  form_->Port()[2]->trigger();  // as from the menu
  form_->Port()[2]->trigger();
  form_->Port()[0]->trigger();
  EXPECT_EQ(form_->core().SelectedPort(), 0);
  EXPECT_TRUE(form_->Port()[0]->isChecked());
  EXPECT_FALSE(form_->Port()[2]->isChecked());
  EXPECT_TRUE(form_->LoadFile()->isEnabled());
}

TEST_F(QtForm1Test, KeysReachTheCoreOnceWhateverHoldsTheFocus) {
  Make({{"A", 1}});
  form_->Picture1()->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), form_->Picture1());
  Type("Tav");
  EXPECT_EQ(form_->core().KeyBuffer(), "Tav");
  form_->Command1()->setFocus();
  Type("ik");
  EXPECT_EQ(dialogs_->requests.size(), 1u);
}

TEST_F(QtForm1Test, SpaceOnCommand1RunsTheSelfTestAndStillCounts) {
  Make({{"A", 1}});
  form_->Command1()->setFocus();
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, " ");
  QApplication::sendEvent(form_->Command1(), &press);
  QApplication::sendEvent(form_->Command1(), &release);
  EXPECT_EQ(form_->core().ImageCrc(), 2610720);
  EXPECT_EQ(form_->core().KeyBuffer(), " ");
}

TEST_F(QtForm1Test, TheOpenDialogBlocksTheWindow) {
  Make({{"A", 1}}, false);  // Qt's own file dialogs
  form_->Port()[0]->trigger();
  auto modality = std::make_shared<std::optional<Qt::WindowModality>>();
  QTimer::singleShot(0, [modality] {
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      *modality = dialog->windowModality();
      dialog->reject();
    }
  });
  form_->LoadFile()->trigger();
  EXPECT_EQ(*modality, Qt::ApplicationModal);
  EXPECT_FALSE(form_->Update()->isEnabled());  // cancelled
}

TEST_F(QtForm1Test, MessageBoxesCarryTheAppTitleAndIcon) {
  Make({{"A", 1}});
  struct Case {
    MessageIcon icon;
    QMessageBox::Icon expected;
  };
  const Case cases[] = {{MessageIcon::None, QMessageBox::NoIcon},
                        {MessageIcon::Error, QMessageBox::Critical},
                        {MessageIcon::Information, QMessageBox::Information}};
  for (const Case& c : cases) {
    QString title, text;
    std::optional<QMessageBox::Icon> icon;
    QTimer::singleShot(0, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        box->accept();
      }
    });
    form_->ShowMessage("K\xC3\xA9sz", c.icon);
    EXPECT_EQ(title, "Pelkar Update utility");
    EXPECT_EQ(text, QString::fromUtf8("K\xC3\xA9sz"));
    EXPECT_EQ(icon, c.expected);
  }
}

}  // namespace
}  // namespace pelkar
