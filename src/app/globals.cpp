#include "app/globals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdlib>

namespace velloran::app {

TGlobalVars& GlobalVars() {
  static TGlobalVars vars;
  return vars;
}

QString SettingsFileName() {
  QString folder;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg && QDir::isAbsolutePath(QString::fromLocal8Bit(xdg)))
    folder = QString::fromLocal8Bit(xdg);
  else
    folder = QDir::homePath() + "/.config";
  QString program = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
  if (program.isEmpty()) program = QCoreApplication::applicationName();
  return QDir(folder).filePath(program.toLower() + ".ini");
}

QString ProgramDataFile(const QString& name) {
  const QString dir = QCoreApplication::applicationDirPath();
  for (const QString& candidate : {dir + "/" + name, dir + "/../share/velloran/" + name}) {
    if (QFileInfo::exists(candidate)) return QFileInfo(candidate).absoluteFilePath();
  }
  return {};
}

}  // namespace velloran::app
