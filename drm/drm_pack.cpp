#include "drm/drm_pack.h"

#include "drm/protect/packager.h"
#include "res/string_table.h"

#include <QHash>
#include <QHeaderView>
#include <QPainter>
#include <QPixmap>

using namespace talvex;

QIcon DrmStatusImage(int image)
{
    static const QList<QIcon> images = [] {
        QList<QIcon> list;
        const QColor colours[] = {QColor(150, 150, 150), QColor(40, 110, 220), QColor(30, 150, 60), QColor(210, 40, 40)};
        // Drawn at one, two and three device pixels a point: sharp on a scaled screen.
        for (int i = 0; i < 4; ++i) {
          QIcon icon;
          for (const int scale : {1, 2, 3}) {
            QPixmap pm(16 * scale, 16 * scale);
            pm.setDevicePixelRatio(scale);
            pm.fill(Qt::transparent);
            QPainter p(&pm);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(QPen(colours[i], 2));
            switch (i) {
            case 0: // waiting: a clock face
                p.drawEllipse(QRectF(2, 2, 12, 12));
                p.drawLine(QPointF(8, 8), QPointF(8, 4.5));
                p.drawLine(QPointF(8, 8), QPointF(10.5, 9.5));
                break;
            case 1: // working: an arrow
                p.drawLine(QPointF(3, 8), QPointF(13, 8));
                p.drawLine(QPointF(13, 8), QPointF(9, 4));
                p.drawLine(QPointF(13, 8), QPointF(9, 12));
                break;
            case 2: // done: a tick
                p.drawLine(QPointF(3, 8.5), QPointF(6.5, 12));
                p.drawLine(QPointF(6.5, 12), QPointF(13, 4));
                break;
            default: // failed: a cross
                p.drawLine(QPointF(4, 4), QPointF(12, 12));
                p.drawLine(QPointF(12, 4), QPointF(4, 12));
                break;
            }
            p.end();
            icon.addPixmap(pm);
          }
          list.append(icon);
        }
        return list;
    }();
    return images.value(image < 0 || image > 3 ? 3 : image);
}

int CDRMPackModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CDRMPackModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant CDRMPackModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const Target& t = m_rows[index.row()];
    switch (role) {
    case Qt::DisplayRole:
        return index.column() == kColumnPath ? t.path : index.column() == kColumnStatus ? t.status : t.size;
    case Qt::DecorationRole:
        return index.column() == kColumnPath ? QVariant(DrmStatusImage(drm::ImageOfState(t.state))) : QVariant();
    case Qt::TextAlignmentRole:
        return index.column() == kColumnSize ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    case kStateRole:
        return t.state;
    case kOutputRole:
        return t.relativeOutput;
    default:
        return {};
    }
}

QVariant CDRMPackModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::TextAlignmentRole && section == kColumnSize)
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    const char* texts[] = {kTextDrmColumnTarget, kTextDrmColumnStatus, kTextDrmColumnSize};
    return section >= 0 && section < kColumnCount ? QString::fromUtf8(texts[section]) : QVariant();
}

uint64_t CDRMPackModel::Add(const QString& path, const QString& relativeOutput)
{
    // Two different files must not be written to one output; the same file added twice may.
    QString output = relativeOutput;
    auto clash = [&](const QString& candidate) {
        for (const Target& t : m_rows)
            if (t.relativeOutput == candidate && t.path != path)
                return true;
        return false;
    };
    for (int n = 1; clash(output); ++n)
        output = QString::fromStdString(drm::NumberedName(relativeOutput.toStdString(), n));
    const int row = static_cast<int>(m_rows.size());
    beginInsertRows({}, row, row);
    Target t;
    t.id = m_nextId++;
    t.path = path;
    t.relativeOutput = output;
    t.status = QString::fromUtf8(kTextDrmWaiting);
    m_rows.append(t);
    endInsertRows();
    return t.id;
}

std::vector<drm::PackJob> CDRMPackModel::TakeWaitingJobs(const QString& targetRoot)
{
    std::vector<drm::PackJob> jobs;
    for (Target& t : m_rows) {
        if (t.state != drm::kStateWaiting || t.handedOut)
            continue;
        t.handedOut = true;
        jobs.push_back({t.id, t.path.toStdString(), drm::JoinPath(targetRoot.toStdString(), t.relativeOutput.toStdString())});
    }
    return jobs;
}

void CDRMPackModel::ReturnJobs(const std::vector<uint64_t>& ids)
{
    for (uint64_t id : ids) {
        const int row = RowOf(id);
        if (row >= 0 && m_rows[row].state == drm::kStateWaiting)
            m_rows[row].handedOut = false;
    }
}

void CDRMPackModel::SetTaken(uint64_t id)
{
    const int row = RowOf(id);
    if (row < 0)
        return;
    Target& t = m_rows[row];
    t.state = drm::kStateTaken;
    t.status = QString::fromUtf8(kTextDrmWorking);
    emit dataChanged(index(row, 0), index(row, kColumnCount - 1));
}

void CDRMPackModel::SetDone(uint64_t id, int outcome, int64_t size)
{
    const int row = RowOf(id);
    if (row < 0)
        return;
    const drm::OutcomeRow o = drm::OutcomeOf(outcome);
    Target& t = m_rows[row];
    t.state = o.state;
    t.status = QString::fromUtf8(o.status);
    t.size = outcome == drm::kPackOk && size >= 0 ? QString::fromStdString(drm::PackedSizeText(size)) : QString();
    t.handedOut = false;
    emit dataChanged(index(row, 0), index(row, kColumnCount - 1));
}

void CDRMPackModel::RemoveAll()
{
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

int CDRMPackModel::RowOf(uint64_t id) const
{
    for (int i = 0; i < m_rows.size(); ++i)
        if (m_rows[i].id == id)
            return i;
    return -1;
}

QString CDRMPackModel::PathOf(uint64_t id) const
{
    const int row = RowOf(id);
    return row < 0 ? QString() : m_rows[row].path;
}

CDRMPack::CDRMPack(QWidget* parent) : QTreeView(parent), m_model(new CDRMPackModel(this))
{
    setModel(m_model);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setIconSize(QSize(16, 16));
    header()->setStretchLastSection(false);
    setColumnWidth(CDRMPackModel::kColumnPath, 200);
    setColumnWidth(CDRMPackModel::kColumnStatus, 80);
    setColumnWidth(CDRMPackModel::kColumnSize, 80);
    header()->setSectionResizeMode(CDRMPackModel::kColumnPath, QHeaderView::Stretch);
}

void CDRMPack::ScrollToTarget(uint64_t id)
{
    const int row = m_model->RowOf(id);
    if (row >= 0)
        scrollTo(m_model->index(row, 0));
}
