// velloran-gui: the desktop application.
#include "app/main_form.h"

#include <QApplication>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("velloran-gui");
  QApplication::setApplicationDisplayName("Velloran DVD/CD Burner");
  QApplication::setDesktopFileName("velloran-gui");
  velloran::app::Tfrmmain window;
  window.show();
  return app.exec();
}
