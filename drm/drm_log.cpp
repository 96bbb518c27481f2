#include "drm/drm_log.h"

#include "res/string_table.h"

#include <QHeaderView>

int CDRMLogModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_lines.size());
}

int CDRMLogModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 2;
}

QVariant CDRMLogModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_lines.size() || role != Qt::DisplayRole)
        return {};
    const Line& l = m_lines[index.row()];
    return index.column() == 0 ? l.text : l.time;
}

QVariant CDRMLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    return QString::fromUtf8(section == 0 ? talvex::kTextDrmColumnLog : talvex::kTextDrmColumnTime);
}

void CDRMLogModel::Append(const QString& text, const QString& time)
{
    const int row = static_cast<int>(m_lines.size());
    beginInsertRows({}, row, row);
    m_lines.append({text, time});
    endInsertRows();
}

CDRMLog::CDRMLog(QWidget* parent) : QTreeView(parent), m_model(new CDRMLogModel(this))
{
    setModel(m_model);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    header()->setStretchLastSection(true);
    setColumnWidth(0, 400);
    setColumnWidth(1, 200);
}

QString CDRMLog::TimeText(const QDateTime& when)
{
    const QDate d = when.date();
    const QTime t = when.time();
    return QStringLiteral("[%1/%2/%3  %4:%5:%6]")
        .arg(d.year())
        .arg(d.month())
        .arg(d.day())
        .arg(t.hour())
        .arg(t.minute())
        .arg(t.second());
}

void CDRMLog::Add(const QString& text)
{
    Add(text, QDateTime::currentDateTime());
}

void CDRMLog::Add(const QString& text, const QDateTime& when)
{
    m_model->Append(text, TimeText(when));
    const QModelIndexList selected = selectionModel()->selectedRows();
    if (!selected.isEmpty()) {
        QModelIndex first = selected.first();
        for (const QModelIndex& i : selected)
            if (i.row() < first.row())
                first = i;
        scrollTo(first);
    } else {
        scrollTo(m_model->index(m_model->rowCount() - 1, 0));
    }
}
