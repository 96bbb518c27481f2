#include "drm/drm_volumes.h"

#include "panes/size_text.h"

#include <QDir>
#include <QStorageInfo>

bool IsPersonVolume(const QString& root, const QString& fsType)
{
    static const QStringList kPseudo = {
        "proc",   "sysfs",    "tmpfs",    "devtmpfs", "devpts",   "overlay",  "squashfs", "cgroup",
        "cgroup2", "mqueue",  "debugfs",  "tracefs",  "securityfs", "pstore", "bpf",      "autofs",
        "hugetlbfs", "configfs", "fusectl", "binfmt_misc", "ramfs", "nsfs",   "efivarfs", "rpc_pipefs",
        "nfsd",   "fuse.lxcfs", "fuse.portal", "fuse.gvfsd-fuse", "selinuxfs", "none"};
    if (kPseudo.contains(fsType, Qt::CaseInsensitive))
        return false;
    if (root == QLatin1String("/"))
        return true;
    static const QStringList kSystem = {"/proc", "/sys", "/dev", "/run", "/boot", "/snap", "/var", "/usr", "/etc", "/tmp"};
    for (const QString& s : kSystem)
        if (root == s || root.startsWith(s + '/'))
            return root.startsWith(QLatin1String("/run/media/"));
    return true;
}

QList<DrmVolume> PersonVolumes()
{
    QList<DrmVolume> list;
    auto add = [&list](const QString& root, const QStorageInfo& info, const QString& label) {
        for (const DrmVolume& v : list)
            if (v.root == root)
                return;
        DrmVolume v;
        v.root = root;
        v.label = label;
        v.type = QString::fromUtf8(info.fileSystemType());
        v.totalK = info.bytesTotal() > 0 ? info.bytesTotal() / 1000 : 0;
        v.freeK = info.bytesAvailable() > 0 ? info.bytesAvailable() / 1000 : 0;
        list.append(v);
    };
    const QString home = QDir::homePath();
    add(home, QStorageInfo(home), QDir(home).dirName());
    const QStorageInfo root = QStorageInfo::root();
    add(QStringLiteral("/"), root, root.name());
    for (const QStorageInfo& info : QStorageInfo::mountedVolumes()) {
        if (!info.isValid() || !info.isReady())
            continue;
        const QString path = info.rootPath();
        if (!IsPersonVolume(path, QString::fromUtf8(info.fileSystemType())))
            continue;
        add(path, info, info.name());
    }
    return list;
}

QString VolumeSizeText(qint64 k)
{
    if (k / 1024 == 0)
        return {};
    if (k < 1048576)
        return QString::asprintf("%.2f MB", static_cast<double>(k) / 1024.0);
    return QString::asprintf("%.2f GB", static_cast<double>(k) / 1024.0 / 1024.0);
}

QString FileSizeKbText(qint64 bytes)
{
    qint64 kb = bytes / 1024;
    if (bytes > 0 && kb == 0)
        kb = 1;
    return QString::fromStdString(talvex::GroupThousands(kb)) + QStringLiteral("KB");
}

QString ModifiedText(const QDateTime& when)
{
    const QDateTime t = when.toLocalTime();
    return QString::asprintf("%d-%02d-%02d %02d:%02d:%02d", t.date().year(), t.date().month(), t.date().day(),
                             t.time().hour(), t.time().minute(), t.time().second());
}
