// Pelkar1_Update: the firmware update window. No arguments, no settings.
#include <QApplication>

#include "app/qt_form1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(pelkar::kAppTitle));
  QApplication::setDesktopFileName(QStringLiteral("pelkar1-update"));
  pelkar::QtForm1 window;
  window.show();
  return QApplication::exec();
}
