#pragma once
// The volumes the media browser shows under "내컴퓨터" — the home folder first, then the root
// and the removable and network mounts a person would recognise — and the size texts of the
// browser.

#include <QDateTime>
#include <QList>
#include <QString>

struct DrmVolume {
    QString root;  // shown as the name, and where double-click goes
    QString label; // volume name; empty when it has none
    QString type;  // file system type
    qint64 totalK = 0; // in units of 1000 bytes
    qint64 freeK = 0;
};

// A mount worth showing: not a kernel or container pseudo file system, not a system folder.
bool IsPersonVolume(const QString& root, const QString& fsType);
QList<DrmVolume> PersonVolumes();

// From a size in units of 1000 bytes: "%.2f MB" of k / 1024 below 1,048,576, else "%.2f GB"
// of k / 1024 / 1024; empty when k / 1024 is 0.
QString VolumeSizeText(qint64 k);
// A file's size in whole KB with "," between groups of three digits: "1,205KB"; a non-empty
// file below 1 KB shows 1KB.
QString FileSizeKbText(qint64 bytes);
// "%d-%02d-%02d %02d:%02d:%02d" of the local time.
QString ModifiedText(const QDateTime& when);
