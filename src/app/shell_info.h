// Icons and type names for the layout views: a file type's icon and name
// from Qt's icon provider and MIME database, and the project's own three
// layout icons.
#pragma once

#include <QIcon>
#include <QString>

namespace velloran::app {

// Icon of a file type (by extension, as if such a file existed).
QIcon ShellIconForExtension(const QString& extension);
// Type name of a file type ("PNG image"), at most 80 characters; for an
// unknown extension "XYZ File", for none "File".
QString ShellTypeName(const QString& extension);
// The extension of a long name: the text after its last ".", or empty.
QString ExtensionOf(const QString& longName);

// "cd.ico", "closed.ico", "open.ico" from beside the program or the data
// folder; the desktop theme's drive and folder icons when they are missing.
QIcon CdIcon();
QIcon ClosedFolderIcon();
QIcon OpenFolderIcon();

}  // namespace velloran::app
