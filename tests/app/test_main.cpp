// The test program's QApplication: the windows run on the offscreen
// platform unless one is chosen. Everything Qt and the windows write to the
// user's configuration folder goes to a folder of the test run's own.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>

#include <cstdlib>
#include <filesystem>
#include <memory>

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  char pattern[] = "/tmp/velloran-gui-tests-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  ::setenv("XDG_CONFIG_HOME", pattern, 1);
  ::setenv("VELLORAN_TEST_CONFIG_HOME", pattern, 1);
  int result;
  {
    auto app = std::make_unique<QApplication>(argc, argv);
    // Qt's own settings (the file dialogs' history) keep to the run's folder,
    // whatever folder a test names for the application's settings.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, pattern);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, pattern);
    ::testing::InitGoogleTest(&argc, argv);
    result = RUN_ALL_TESTS();
  }
  std::error_code ec;
  std::filesystem::remove_all(pattern, ec);
  return result;
}
