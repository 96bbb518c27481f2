#include "sync/queue_model.h"

#include "app/prompt.h"
#include "panes/file_icons.h"
#include "panes/size_text.h"
#include "res/string_table.h"

using namespace talvex;

QString QueueSizeText(int64_t size)
{
    if (size < 0)
        return QString::fromUtf8(kTextQueueUnknownSize);
    return QString::fromStdString(SizeText(size, false));
}

QString QueueSpeedText(int64_t v)
{
    if (v <= 1024)
        return QStringLiteral("%1 ").arg(v);
    // Tenths cut, not rounded: 2,047 bytes a second are "1.9 K".
    if (v <= 1048576)
        return QStringLiteral("%1.%2 K").arg(v / 1024).arg(v * 10 / 1024 % 10);
    return QStringLiteral("%1.%2 M").arg(v / 1048576).arg(v * 10 / 1048576 % 10);
}

QString QueueSentText(const CUploadProgress& progress)
{
    if (progress.speed == 0)
        return {};
    return QStringLiteral("%1 (%2B/s)").arg(QueueSizeText(progress.sent), QueueSpeedText(progress.speed));
}

QString TotalSizeText(int64_t size)
{
    if (size < 0)
        size = 0;
    const char* unit = kTextSizeBytes;
    int64_t shown = size;
    if (size >= 10485760) {
        shown = size / 1048576;
        unit = LoadString(327).data();
    } else if (size >= 10240) {
        shown = size / 1024;
        unit = LoadString(326).data();
    }
    return QString::fromStdString(FormatString(175, static_cast<long long>(shown), unit));
}

CQueueModel::CQueueModel(QObject* parent) : QAbstractTableModel(parent) {}

int CQueueModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_items.size());
}

int CQueueModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant CQueueModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const Item& item = At(index.row());
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case PathColumn: return QString::fromStdString(item.request->localPath);
        case SizeColumn: return item.sizeText;
        case StatusColumn: return item.statusText;
        case SentColumn: return item.progress ? QueueSentText(*item.progress) : QString();
        default: return {};
        }
    case Qt::DecorationRole:
        if (index.column() == PathColumn)
            return IconForFileName(QString::fromStdString(item.request->localPath));
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == SizeColumn || index.column() == SentColumn)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    case PercentRole:
        if (index.column() == StatusColumn && item.state == Running && item.progress && item.progress->percent != -1)
            return item.progress->percent;
        return {};
    default:
        return {};
    }
}

QVariant CQueueModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const titles[] = {kTextQueueColumnLocalFile, kTextQueueColumnSize, kTextQueueColumnStatus,
                                         kTextQueueColumnSent};
    return section >= 0 && section < ColumnCount ? QString::fromUtf8(titles[section]) : QVariant();
}

void CQueueModel::Append(const std::vector<std::shared_ptr<CUploadRequest>>& requests)
{
    if (requests.empty())
        return;
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(requests.size()) - 1);
    for (const auto& request : requests) {
        request->requestId = "vornasel";
        Item item;
        item.request = request;
        item.statusText = QString::fromUtf8(kTextQueueWaiting);
        item.sizeText = QueueSizeText(request->size);
        m_items.push_back(std::move(item));
        ++m_nActive;
    }
    endInsertRows();
}

void CQueueModel::Remove(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    beginRemoveRows({}, row, row);
    if (!IsFailed(m_items[static_cast<size_t>(row)].state))
        --m_nActive;
    m_items.erase(m_items.begin() + row);
    endRemoveRows();
}

void CQueueModel::Clear()
{
    beginResetModel();
    m_items.clear();
    m_nActive = 0;
    endResetModel();
}

int CQueueModel::RowOf(const CUploadRequest* request) const
{
    for (size_t i = 0; i < m_items.size(); ++i)
        if (m_items[i].request.get() == request)
            return static_cast<int>(i);
    return -1;
}

int CQueueModel::RunningOn(uint32_t channel) const
{
    for (size_t i = 0; i < m_items.size(); ++i)
        if (m_items[i].state == Running && m_items[i].channel == channel)
            return static_cast<int>(i);
    return -1;
}

void CQueueModel::SetRunning(int row, uint32_t channel)
{
    Item& item = m_items.at(static_cast<size_t>(row));
    item.state = Running;
    item.channel = channel;
    item.progress.reset();
    Changed(row, StatusColumn, SentColumn);
}

void CQueueModel::SetProgress(int row, const CUploadProgress& progress)
{
    m_items.at(static_cast<size_t>(row)).progress = progress;
    Changed(row, StatusColumn, SentColumn);
}

void CQueueModel::SetEnded(int row, State state, const QString& statusText)
{
    Item& item = m_items.at(static_cast<size_t>(row));
    if (IsFailed(state) && !IsFailed(item.state))
        --m_nActive;
    item.state = state;
    item.channel = 0;
    item.progress.reset();
    item.statusText = statusText;
    Changed(row, StatusColumn, SentColumn);
}

void CQueueModel::Changed(int row, int firstColumn, int lastColumn)
{
    emit dataChanged(index(row, firstColumn), index(row, lastColumn));
}
