#include "app/shell_info.h"

#include "app/globals.h"

#include <QFileIconProvider>
#include <QHash>
#include <QMimeDatabase>

namespace velloran::app {
namespace {

QIcon ShippedIcon(const QString& name, QAbstractFileIconProvider::IconType fallback) {
  const QString path = ProgramDataFile(name);
  QIcon icon;
  if (!path.isEmpty()) icon = QIcon(path);
  if (icon.isNull() || icon.availableSizes().isEmpty()) icon = QFileIconProvider().icon(fallback);
  return icon;
}

QMimeType MimeForExtension(const QString& extension) {
  static QMimeDatabase db;
  if (extension.isEmpty()) return {};
  const QList<QMimeType> types = db.mimeTypesForFileName("x." + extension.toLower());
  return types.isEmpty() ? QMimeType() : types.front();
}

}  // namespace

QString ExtensionOf(const QString& longName) {
  const int dot = longName.lastIndexOf(QLatin1Char('.'));
  return dot < 0 ? QString() : longName.mid(dot + 1);
}

QIcon ShellIconForExtension(const QString& extension) {
  static QHash<QString, QIcon> cache;
  const QString key = extension.toLower();
  if (auto it = cache.constFind(key); it != cache.constEnd()) return *it;
  QIcon icon;
  const QMimeType mime = MimeForExtension(extension);
  if (mime.isValid()) {
    icon = QIcon::fromTheme(mime.iconName());
    if (icon.isNull()) icon = QIcon::fromTheme(mime.genericIconName());
  }
  if (icon.isNull()) icon = QFileIconProvider().icon(QAbstractFileIconProvider::File);
  cache.insert(key, icon);
  return icon;
}

QString ShellTypeName(const QString& extension) {
  // Asked for every row of a folder that may hold thousands of files of a
  // few kinds.
  static QHash<QString, QString> cache;
  if (auto it = cache.constFind(extension); it != cache.constEnd()) return *it;
  QString name;
  const QMimeType mime = MimeForExtension(extension);
  if (mime.isValid() && !mime.comment().isEmpty())
    name = mime.comment();
  else if (!extension.isEmpty())
    name = extension.toUpper() + " File";
  else
    name = "File";
  name = name.left(80);
  cache.insert(extension, name);
  return name;
}

// Loaded once: every folder node and folder row of the layout asks, and a
// compilation may have tens of thousands of folders.
QIcon CdIcon() {
  static const QIcon icon = ShippedIcon("cd.ico", QAbstractFileIconProvider::Drive);
  return icon;
}
QIcon ClosedFolderIcon() {
  static const QIcon icon = ShippedIcon("closed.ico", QAbstractFileIconProvider::Folder);
  return icon;
}
QIcon OpenFolderIcon() {
  static const QIcon icon = ShippedIcon("open.ico", QAbstractFileIconProvider::Folder);
  return icon;
}

}  // namespace velloran::app
