// The test program's QApplication: the windows run on the offscreen
// platform unless one is chosen. Everything Qt and the windows write to the
// user's configuration folder goes to a folder of the test run's own.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <memory>

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  char pattern[] = "/tmp/velloran-gui-tests-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  ::setenv("XDG_CONFIG_HOME", pattern, 1);
  ::setenv("VELLORAN_TEST_CONFIG_HOME", pattern, 1);
  // The offscreen screen is a common laptop's, 1366 x 768, so the windows
  // are laid out as on one.
  if (std::string_view(std::getenv("QT_QPA_PLATFORM")) == "offscreen") {
    const std::string config = std::string(pattern) + "/screen.json";
    std::ofstream(config) << R"({"screens": [{"name": "laptop", "x": 0, "y": 0, "width": 1366, "height": 768,)"
                             R"( "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
    ::setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).c_str(), 1);
  }
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
