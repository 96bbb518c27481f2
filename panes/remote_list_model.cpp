#include "panes/remote_list_model.h"

#include "app/prompt.h"
#include "panes/file_icons.h"
#include "panes/size_text.h"

#include <QApplication>
#include <QDate>
#include <QDateTime>
#include <QStyle>

using namespace talvex;

CRemoteListModel::CRemoteListModel(QObject* parent) : QAbstractTableModel(parent) {}

int CRemoteListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CRemoteListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant CRemoteListModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row& row = m_rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        switch (index.column()) {
        case NameColumn: return row.name;
        case SizeColumn: return row.sizeText;
        case TypeColumn: return row.typeName;
        case TimeColumn: return row.timeText;
        default: return {};
        }
    case Qt::DecorationRole:
        return index.column() == NameColumn ? QVariant(row.icon) : QVariant();
    case Qt::TextAlignmentRole:
        return index.column() == SizeColumn ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                                            : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    case FolderRole:
        return row.folder ? 1 : 0;
    default:
        return {};
    }
}

QVariant CRemoteListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return Str(129 + static_cast<unsigned>(section));
    if (role == Qt::TextAlignmentRole)
        return section == SizeColumn ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                                     : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

Qt::ItemFlags CRemoteListModel::flags(const QModelIndex& index) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    // A label edit ends in a rename request; the label itself never changes through the edit.
    if (index.column() == NameColumn && !m_rows.at(index.row()).parent)
        flags |= Qt::ItemIsEditable;
    return flags;
}

QString CRemoteListModel::TimeText(const OleDate& date)
{
    // A time the server sent that is not a calendar date shows as nothing, not as garbage.
    CalendarTime t;
    if (!OleDateToSystemTime(date, t))
        return QString();
    return QString::asprintf("%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
}

QString CRemoteListModel::NowText()
{
    const QDateTime now = QDateTime::currentDateTime();
    return QString::asprintf("%04d-%02d-%02d %02d:%02d", now.date().year(), now.date().month(), now.date().day(),
                             now.time().hour(), now.time().minute());
}

CRemoteListModel::Row CRemoteListModel::FolderRow(const QString& name)
{
    Row row;
    row.name = name;
    row.folder = true;
    row.icon = FolderIcon();
    row.typeName = FolderTypeName();
    return row;
}

CRemoteListModel::Row CRemoteListModel::FileRow(const QString& name)
{
    const QMimeType mime = MimeTypeForName(name);
    Row row;
    row.name = name;
    row.folder = false;
    row.icon = FileIcon(mime);
    row.typeName = mime.comment();
    return row;
}

void CRemoteListModel::Fill(CRemoteEntryList& entries, bool withParentRow, bool detailSize)
{
    beginResetModel();
    m_rows.clear();
    m_rows.reserve(static_cast<qsizetype>(entries.size()) + 1);
    if (withParentRow) {
        Row up = FolderRow(QStringLiteral(".."));
        up.typeName.clear();
        up.parent = true;
        m_rows.append(std::move(up));
    }
    for (CRemoteEntry& entry : entries) {
        const QString name = QString::fromStdString(entry.name);
        Row row = entry.IsFolder() ? FolderRow(name) : FileRow(name);
        entry.texts[0] = row.typeName.toStdString();
        row.sizeText = QString::fromStdString(SizeText(entry.size, detailSize));
        row.timeText = TimeText(entry.modified);
        m_rows.append(std::move(row));
    }
    endResetModel();
}

void CRemoteListModel::Append(Row row)
{
    const int at = static_cast<int>(m_rows.size());
    beginInsertRows(QModelIndex(), at, at);
    m_rows.append(std::move(row));
    endInsertRows();
}

void CRemoteListModel::RemoveAt(int row)
{
    if (row < 0 || row >= m_rows.size())
        return;
    beginRemoveRows(QModelIndex(), row, row);
    m_rows.removeAt(row);
    endRemoveRows();
}

void CRemoteListModel::SetNameAt(int row, const QString& name)
{
    if (row < 0 || row >= m_rows.size())
        return;
    m_rows[row].name = name;
    const QModelIndex at = index(row, NameColumn);
    emit dataChanged(at, at, {Qt::DisplayRole, Qt::EditRole});
}

int CRemoteListModel::FindName(const QString& name) const
{
    for (int i = 0; i < m_rows.size(); ++i)
        if (m_rows.at(i).name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}
