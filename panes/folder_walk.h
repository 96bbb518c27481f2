#pragma once
// A depth-first walk of a local folder tree: each folder's entries by name (case ignored), a
// folder entered right after it is visited, links to folders not entered (a link back up the
// tree would never end), nothing deeper than maxDepth levels searched.

#include <QDir>
#include <QFileInfo>

// visit(const QFileInfo& entry) sees every entry, folders too, and returns false to stop the
// walk. False when the walk was stopped.
template <typename Visit>
bool WalkFolder(const QString& folder, Visit&& visit, int maxDepth = 256, int depth = 0)
{
    if (depth > maxDepth)
        return true;
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& entry : entries) {
        if (!visit(entry))
            return false;
        if (entry.isDir() && !entry.isSymLink() && !WalkFolder(entry.absoluteFilePath(), visit, maxDepth, depth + 1))
            return false;
    }
    return true;
}
