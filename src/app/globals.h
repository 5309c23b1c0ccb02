// The application's settings record and where its settings file lives.
#pragma once

#include <QString>

namespace velloran::app {

struct TGlobalVars {
  int Top = 0;
  int Left = 0;
  int Width = 0;
  int Height = 0;
  bool Maximized = false;
  QString LastOpenDir;
  bool Eject = false;  // the settings file supplies True when it has no value
  bool Verify = false;  // read the disc back after a burn
  bool RockRidge = true;  // names, permissions and links for Linux and macOS
};

// The one instance.
TGlobalVars& GlobalVars();

// The settings file: the program's name, lower-cased, with ".ini", in the
// user's configuration folder ($XDG_CONFIG_HOME, else ~/.config).
QString SettingsFileName();

// Where the files shipped with the program (icons, help page) are looked
// for: beside the program, then the installed data folder.
QString ProgramDataFile(const QString& name);

}  // namespace velloran::app
