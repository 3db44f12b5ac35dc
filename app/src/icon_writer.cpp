// Build tool: writes the program's icon as <dir>/<size>.png for each size given.
#include <cstdlib>
#include <iostream>
#include <string>

#include <QString>

#include "app/app_icon.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: pelkar_app_icon_writer DIR SIZE...\n";
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    const int size = std::atoi(argv[i]);
    const QString path = QString::fromLocal8Bit(argv[1]) + '/' + QString::number(size) + ".png";
    if (size <= 0 || !pelkar::DrawAppIcon(size).save(path, "PNG")) {
      std::cerr << "pelkar_app_icon_writer: can't write " << path.toStdString() << "\n";
      return 1;
    }
  }
  return 0;
}
