#include "drm/drm_original.h"

#include "panes/file_icons.h"
#include "res/string_table.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QStandardPaths>
#include <QStorageInfo>

using namespace talvex;

namespace {

QString MyComputer()
{
    return QString::fromUtf8(kTextDrmMyComputer);
}

QString Child(const QString& base, const QString& name)
{
    if (base.isEmpty())
        return name;
    return base.endsWith('/') ? base + name : base + '/' + name;
}

} // namespace

int CDRMOriginalModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

int CDRMOriginalModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 4;
}

QVariant CDRMOriginalModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_entries.size())
        return {};
    const Entry& e = m_entries[index.row()];
    const int c = index.column();
    switch (role) {
    case Qt::DisplayRole:
        if (c == 0)
            return e.name;
        if (m_volumes)
            return c == 1 ? e.type : c == 2 ? VolumeSizeText(e.size) : VolumeSizeText(e.free);
        if (c == 1)
            return e.size < 0 ? QString() : FileSizeKbText(e.size);
        return c == 2 ? e.type : ModifiedText(e.modified);
    case Qt::DecorationRole:
        return c == 0 ? QVariant(e.icon) : QVariant();
    case Qt::TextAlignmentRole: {
        const bool right = m_volumes ? (c == 2 || c == 3) : c == 1;
        return right ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    }
    case kItemDataRole:
        return e.itemData;
    case kNameRole:
        return e.name;
    default:
        return {};
    }
}

QVariant CDRMOriginalModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section > 3)
        return {};
    if (role == Qt::TextAlignmentRole) {
        const bool right = m_volumes ? section >= 2 : section == 1;
        return right ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    }
    if (role != Qt::DisplayRole)
        return {};
    static const char* const kVolumes[] = {kTextDrmColumnName, kTextDrmColumnKind, kTextDrmColumnSize, kTextDrmColumnFree};
    static const char* const kFolder[] = {kTextDrmColumnName, kTextDrmColumnSize, kTextDrmColumnKind, kTextDrmColumnModified};
    return QString::fromUtf8(m_volumes ? kVolumes[section] : kFolder[section]);
}

void CDRMOriginalModel::ShowVolumes(const QList<DrmVolume>& volumes)
{
    beginResetModel();
    m_volumes = true;
    m_entries.clear();
    const QIcon icon = FolderIcon();
    for (const DrmVolume& v : volumes) {
        Entry e;
        e.name = v.root;
        e.type = v.type;
        e.size = v.totalK;
        e.free = v.freeK;
        e.icon = icon;
        e.itemData = 1;
        m_entries.append(e);
    }
    endResetModel();
    emit headerDataChanged(Qt::Horizontal, 0, 3);
}

bool CDRMOriginalModel::ShowFolder(const QString& path)
{
    beginResetModel();
    m_volumes = false;
    m_entries.clear();
    QDir dir(path);
    const bool readable = dir.exists() && dir.isReadable();
    const QFileInfoList infos = dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                                                  QDir::DirsFirst | QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& fi : infos) {
        Entry e;
        e.name = fi.fileName();
        e.modified = fi.lastModified();
        if (fi.isDir()) {
            e.type = QString::fromUtf8(kTextDrmFolderType);
            e.size = -1;
            e.icon = FolderIcon();
            e.itemData = 1;
        } else {
            const QMimeType mime = MimeTypeForName(e.name);
            e.type = mime.comment();
            e.size = fi.size();
            e.icon = FileIcon(mime);
            e.itemData = 2;
        }
        m_entries.append(e);
    }
    endResetModel();
    emit headerDataChanged(Qt::Horizontal, 0, 3);
    return readable;
}

CDRMOriginal::CDRMOriginal(QComboBox* location, QWidget* parent)
    : QTreeView(parent), m_model(new CDRMOriginalModel(this)), m_combo(location)
{
    setModel(m_model);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setIconSize(QSize(16, 16));
    setColumnWidth(0, 120);
    for (int c = 1; c < 4; ++c)
        setColumnWidth(c, 60);
    connect(this, &QTreeView::doubleClicked, this, [this](const QModelIndex&) {
        const QModelIndexList rows = selectionModel()->selectedRows();
        if (!rows.isEmpty())
            OpenRow(rows.last().row());
    });
    FillCombo();
    connect(m_combo, &QComboBox::activated, this, &CDRMOriginal::OnComboActivated);
    ShowDrives();
}

void CDRMOriginal::FillCombo()
{
    m_combo->clear();
    m_combo->setEditable(false);
    m_combo->addItem(FolderIcon(), MyComputer(), 1);
    for (const DrmVolume& v : PersonVolumes()) {
        const QString label = v.label.isEmpty() ? v.type : v.label;
        m_combo->addItem(FolderIcon(), label + QStringLiteral(" (") + v.root + QStringLiteral(")"), 2);
        m_combo->setItemData(m_combo->count() - 1, v.root, Qt::UserRole + 1);
    }
    m_combo->setCurrentIndex(0);
}

void CDRMOriginal::Remember(const QString& location)
{
    // Every location shown stays in the combo box's list, once.
    for (int i = 0; i < m_combo->count(); ++i) {
        const QString where = m_combo->itemData(i).toInt() == 1 ? MyComputer() : m_combo->itemData(i, Qt::UserRole + 1).toString();
        if (where == location) {
            m_combo->setCurrentIndex(i);
            return;
        }
    }
    m_combo->addItem(FolderIcon(), location, 3);
    m_combo->setItemData(m_combo->count() - 1, location, Qt::UserRole + 1);
    m_combo->setCurrentIndex(m_combo->count() - 1);
}

void CDRMOriginal::OnComboActivated(int index)
{
    if (index < 0)
        return;
    if (m_combo->itemData(index).toInt() == 1)
        ShowDrives();
    else
        ShowFolder(m_combo->itemData(index, Qt::UserRole + 1).toString());
}

void CDRMOriginal::ShowDrives()
{
    m_location = MyComputer();
    m_model->ShowVolumes(PersonVolumes());
    Remember(m_location);
}

void CDRMOriginal::ShowFolder(const QString& path)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_location = path;
    m_model->ShowFolder(path);
    Remember(path);
    QApplication::restoreOverrideCursor();
}

void CDRMOriginal::OpenRow(int row)
{
    if (row < 0 || row >= m_model->rowCount() || m_model->EntryAt(row).itemData != 1)
        return;
    QString base;
    if (m_location == QString::fromUtf8(kTextDrmDesktop))
        base = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    else if (m_location != MyComputer())
        base = m_location;
    ShowFolder(QDir::cleanPath(Child(base, m_model->EntryAt(row).name)));
}

QList<QPair<QString, bool>> CDRMOriginal::SelectedPaths() const
{
    QModelIndexList rows = selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QList<QPair<QString, bool>> out;
    const bool volumes = m_model->ShowingVolumes();
    for (const QModelIndex& i : rows) {
        const CDRMOriginalModel::Entry& e = m_model->EntryAt(i.row());
        out.append({volumes ? e.name : QDir::cleanPath(Child(m_location, e.name)), e.itemData == 1});
    }
    return out;
}
