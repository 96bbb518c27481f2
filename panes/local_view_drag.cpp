// The local list's uploads (the selection, or paths dropped elsewhere) and the drag of its
// selection, with a picture of the rows it takes.

#include "panes/local_view.h"

#include <QApplication>
#include <QCursor>
#include <QDrag>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QPainter>

#include <sys/stat.h>

using talvex::CUploadOrder;

namespace {

// A folder's source ends in "/": the upload expansion then takes the whole text as the folder,
// so a name such as "*.*" or "*" is never read as a pattern.
CUploadOrder MakeOrder(const QByteArray& path, const QString& name, bool folder, const std::string& remoteFolder)
{
    CUploadOrder order;
    order.kind = folder ? 1 : 0;
    order.source = path.toStdString();
    order.name = name.toStdString();
    if (folder) {
        order.source.push_back('/');
        order.name.push_back('/');
    }
    order.remoteFolder = remoteFolder;
    return order;
}

} // namespace

// ---- uploads ------------------------------------------------------------------------------

void CLocalListCtrl::UploadSelection()
{
    if (m_bBusy || m_pModel->IsVolumeList() || !m_host.IsRemoteReady())
        return;
    const std::string remote = m_host.RemoteFolder().toStdString();
    std::vector<CUploadOrder> orders;
    for (int row : SelectedRows()) {
        if (row == 0)
            continue; // ".."
        const LocalEntry& entry = m_pModel->EntryAt(row);
        if (entry.folder)
            m_host.AddRemoteFolderRow(m_pModel->NameAt(row));
        orders.push_back(MakeOrder(m_pModel->PathBytes(row), m_pModel->NameAt(row), entry.folder, remote));
    }
    if (!orders.empty())
        m_host.AddUploadOrders(std::move(orders));
}

void CLocalListCtrl::UploadPaths(const QStringList& paths)
{
    if (!m_host.IsRemoteReady())
        return;
    const std::string remote = m_host.RemoteFolder().toStdString();
    std::vector<CUploadOrder> orders;
    for (const QString& path : paths) {
        const QByteArray bytes = WithoutTrailingSlashes(QFile::encodeName(path));
        const QString name = QFileInfo(QFile::decodeName(bytes)).fileName();
        struct stat st {};
        if (name.isEmpty() || ::stat(bytes.constData(), &st) != 0)
            continue; // the root itself, or gone since the drag began
        const bool folder = S_ISDIR(st.st_mode);
        if (!folder && !S_ISREG(st.st_mode))
            continue; // devices, pipes and sockets are not uploaded
        if (folder)
            m_host.AddRemoteFolderRow(name);
        orders.push_back(MakeOrder(bytes, name, folder, remote));
    }
    if (!orders.empty())
        m_host.AddUploadOrders(std::move(orders));
}

// ---- dragging -----------------------------------------------------------------------------

bool CLocalListCtrl::CanStartDrag() const
{
    if (m_bBusy || m_pModel->IsVolumeList())
        return false;
    const QList<int> rows = SelectedRows();
    return !rows.isEmpty() && rows.first() != 0;
}

QByteArray CLocalListCtrl::SelectionToken() const
{
    // This process, this list and the folder on show: a drag from another copy of the program
    // or of an earlier folder is not taken for the current selection.
    return QByteArray::number(QCoreApplication::applicationPid()) + ' '
        + QByteArray::number(reinterpret_cast<quintptr>(this)) + '\n' + m_pModel->FolderBytes();
}

QMimeData* CLocalListCtrl::SelectionMimeData() const
{
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(kSelectionMime), SelectionToken());
    return data;
}

QPixmap CLocalListCtrl::SelectionPixmap(QPoint* origin)
{
    const int rows = m_pModel->rowCount();
    if (rows == 0)
        return {};
    executeDelayedItemsLayout(); // rows shown a moment ago have their places
    const QRect visible = viewport()->rect();
    const QModelIndex top = indexAt(visible.topLeft());
    const int first = top.isValid() ? top.row() : 0;
    const QModelIndex bottom = indexAt(QPoint(0, visible.bottom()));
    const int last = bottom.isValid() ? qMin(rows - 1, bottom.row() + 1) : rows - 1;
    const int rightLimit = visible.width() + 50;
    QList<QPair<QRect, int>> parts;
    QRect all;
    for (int row = first; row <= last; ++row) {
        if (!selectionModel()->isRowSelected(row, QModelIndex()))
            continue;
        QRect rect = visualRect(m_pModel->index(row, 0));
        if (!rect.isValid() || !rect.intersects(visible))
            continue;
        rect.setLeft(qMax(0, rect.left()));
        rect.setRight(qMin(rect.right(), rightLimit));
        parts.append({rect, row});
        all |= rect;
    }
    if (all.isEmpty())
        return {};
    const qreal ratio = devicePixelRatioF();
    QPixmap pixmap(all.size() * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setFont(font());
    const int iconSize = qMin(16, all.height());
    for (const auto& [rect, row] : parts) {
        const QRect r = rect.translated(-all.topLeft());
        const QModelIndex index = m_pModel->index(row, 0);
        const QIcon icon = qvariant_cast<QIcon>(index.data(Qt::DecorationRole));
        icon.paint(&painter, QRect(r.left() + 2, r.top() + (r.height() - iconSize) / 2, iconSize, iconSize));
        const QRect label = r.adjusted(iconSize + 6, 0, 0, 0);
        const QString text = fontMetrics().elidedText(index.data().toString(), Qt::ElideRight, label.width());
        painter.drawText(label, Qt::AlignLeft | Qt::AlignVCenter, text);
    }
    if (origin)
        *origin = all.topLeft();
    return pixmap;
}

void CLocalListCtrl::startDrag(Qt::DropActions)
{
    if (!CanStartDrag())
        return;
    if (currentIndex().isValid())
        scrollTo(currentIndex());
    QPoint origin;
    const QPixmap pixmap = SelectionPixmap(&origin);
    auto* drag = new QDrag(this);
    drag->setMimeData(SelectionMimeData());
    if (!pixmap.isNull()) {
        drag->setPixmap(pixmap);
        const QPoint grab = viewport()->mapFromGlobal(QCursor::pos());
        drag->setHotSpot(grab - origin - QPoint(8, 8));
    }
    drag->exec(Qt::CopyAction, Qt::CopyAction);
}
