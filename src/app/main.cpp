// velloran-gui: the desktop application.
#include "app/main_form.h"

#include <QApplication>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  velloran::app::SetUpApplication();
  velloran::app::Tfrmmain window;
  window.show();
  return app.exec();
}
