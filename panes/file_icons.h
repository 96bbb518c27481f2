#pragma once
// Icons and type names of files and folders, found by name alone: no file is looked at.

#include <QIcon>
#include <QMimeType>
#include <QString>

QIcon FolderIcon();
QIcon FileIcon(const QMimeType& mime);
// The type of a file name, by its extension only.
QMimeType MimeTypeForName(const QString& name);
QIcon IconForFileName(const QString& name);
QString FolderTypeName();
