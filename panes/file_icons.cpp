#include "panes/file_icons.h"

#include <QApplication>
#include <QFileIconProvider>
#include <QHash>
#include <QMimeDatabase>
#include <QStyle>

QIcon FolderIcon()
{
    // Every list asks for it: look it up once.
    static const QIcon icon = [] {
        QIcon themed = QFileIconProvider().icon(QFileIconProvider::Folder);
        return themed.isNull() ? QApplication::style()->standardIcon(QStyle::SP_DirIcon) : themed;
    }();
    return icon;
}

QIcon FileIcon(const QMimeType& mime)
{
    // Lists ask again on every paint; a theme lookup (and the decoding of the fallback's
    // picture) each time would cost more than the rest of the row. Window thread only.
    static QHash<QString, QIcon> cache;
    const auto cached = cache.constFind(mime.name());
    if (cached != cache.constEnd())
        return *cached;
    QIcon icon = QIcon::fromTheme(mime.iconName());
    if (icon.isNull())
        icon = QIcon::fromTheme(mime.genericIconName());
    if (icon.isNull())
        icon = QFileIconProvider().icon(QFileIconProvider::File);
    if (icon.isNull())
        icon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
    cache.insert(mime.name(), icon);
    return icon;
}

QMimeType MimeTypeForName(const QString& name)
{
    return QMimeDatabase().mimeTypeForFile(name, QMimeDatabase::MatchExtension);
}

QIcon IconForFileName(const QString& name) { return FileIcon(MimeTypeForName(name)); }

QString FolderTypeName()
{
    static const QString name = QMimeDatabase().mimeTypeForName(QStringLiteral("inode/directory")).comment();
    return name;
}
