// velloran-gui: the desktop application.
#include "app/main_form.h"
#include "app/shell_info.h"

#include <QApplication>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("velloran-gui");
  QApplication::setApplicationDisplayName("Velloran DVD/CD Burner");
  QApplication::setDesktopFileName("velloran-gui");
  QApplication::setWindowIcon(QIcon::fromTheme("velloran-gui", velloran::app::CdIcon()));
  velloran::app::Tfrmmain window;
  window.show();
  return app.exec();
}
