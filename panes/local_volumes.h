#pragma once
// The "drive list" of the local pane: the user's home folder, then the mounted volumes a person
// would recognise (the root, a separate /home, removable media and network mounts). Pseudo file
// systems and system mounts are left out.

#include <QList>
#include <QString>

#include <functional>

struct LocalVolume {
    QString path;        // the folder opened for the row, without a trailing "/" except for "/"
    QString displayName; // the row's name
};

using VolumeSource = std::function<QList<LocalVolume>()>;

// Home first, then the volumes in mount order; each path once.
QList<LocalVolume> SystemVolumes();

// Whether a mount (its root folder and file-system type) belongs in the drive list.
bool IsUserVolume(const QString& rootPath, const QString& fsType);
