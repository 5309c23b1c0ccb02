// velloran-gui: the desktop application.
#include "app/main_form.h"
#include "platform/allocator.h"

#include <QApplication>

int main(int argc, char* argv[]) {
  velloran::platform::KeepLargeBlocksReturnable();
  QApplication app(argc, argv);
  velloran::app::SetUpApplication();
  velloran::app::Tfrmmain window;
  window.show();
  return app.exec();
}
