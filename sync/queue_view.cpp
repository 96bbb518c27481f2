#include "sync/queue_view.h"

#include "app/prompt.h"
#include "panes/list_columns.h"
#include "panes/report_list.h"
#include "sync/queue_model.h"
#include "sync/upload_queue.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace {

constexpr unsigned kDeleteId = 32779;
constexpr unsigned kCancelId = 32781;

// Texts too long for their column end in "...". The status column draws a progress bar while
// the transfer reports a percent.
class CQueueDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const QVariant percent = index.data(CQueueModel::PercentRole);
        if (percent.isValid()) {
            QStyleOptionViewItem background = option;
            initStyleOption(&background, index);
            background.text.clear();
            const QWidget* widget = option.widget;
            QStyle* style = widget ? widget->style() : QApplication::style();
            style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);
            QStyleOptionProgressBar bar;
            bar.rect = option.rect.adjusted(2, 2, -2, -2);
            bar.minimum = 0;
            bar.maximum = 100;
            bar.progress = qBound(0, percent.toInt(), 100);
            bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
            bar.textVisible = false;
            style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
            return;
        }
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const int room = opt.rect.width() - 8 - (opt.icon.isNull() ? 0 : opt.decorationSize.width() + 4);
        opt.text = Fit(opt.fontMetrics, opt.text, room);
        opt.textElideMode = Qt::ElideNone;
        const QWidget* widget = option.widget;
        (widget ? widget->style() : QApplication::style())->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
    }

    static QString Fit(const QFontMetrics& metrics, const QString& text, int width)
    {
        if (metrics.horizontalAdvance(text) <= width)
            return text;
        const QString dots = QStringLiteral("...");
        QString cut = text;
        while (!cut.isEmpty() && metrics.horizontalAdvance(cut + dots) > width)
            cut.chop(1);
        return cut + dots;
    }
};

} // namespace

CQueueCtrl::CQueueCtrl(QWidget* parent) : QTreeView(parent)
{
    setObjectName(QStringLiteral("CQueueCtrl"));
    UseReportListLook(*this);
    setItemDelegate(new CQueueDelegate(this));
    setAcceptDrops(true);
}

void CQueueCtrl::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Delete) {
        emit deletePressed();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void CQueueCtrl::contextMenuEvent(QContextMenuEvent* event) { emit menuRequested(event->globalPos()); }

CQueueView::CQueueView(CUploadQueue& queue, QWidget* parent)
    : QWidget(parent), m_queue(queue), m_pList(new CQueueCtrl(this)), m_pDelete(new QAction(Str(kDeleteId), this)),
      m_pCancel(new QAction(Str(kCancelId), this))
{
    setObjectName(QStringLiteral("CQueueView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pList);
    m_pList->setModel(&queue.Model());
    auto* fit = new CListColumns(*m_pList, {350, 70, 100, 100});
    connect(&queue.Model(), &QAbstractItemModel::rowsInserted, fit, &CListColumns::FitSoon);

    connect(m_pDelete, &QAction::triggered, this, &CQueueView::DeleteSelected);
    connect(m_pCancel, &QAction::triggered, this, [this] { m_queue.CancelAll(); });
    // The key takes what it can: the waiting and failed rows of the selection.
    connect(m_pList, &CQueueCtrl::deletePressed, this, &CQueueView::DeleteSelected);
    connect(m_pList, &CQueueCtrl::menuRequested, this, &CQueueView::ShowContextMenu);
    connect(m_pList->selectionModel(), &QItemSelectionModel::selectionChanged, this, &CQueueView::UpdateActions);
    connect(&queue.Model(), &QAbstractItemModel::rowsInserted, this, &CQueueView::UpdateActions);
    connect(&queue.Model(), &QAbstractItemModel::rowsRemoved, this, &CQueueView::UpdateActions);
    connect(&queue.Model(), &QAbstractItemModel::modelReset, this, &CQueueView::UpdateActions);
    connect(&queue.Model(), &QAbstractItemModel::dataChanged, this, &CQueueView::UpdateActions);
    UpdateActions();
}

void CQueueView::UpdateActions()
{
    const CQueueModel& model = m_queue.Model();
    const bool rows = model.rowCount() > 0;
    bool runningSelected = false;
    for (const QModelIndex& index : m_pList->selectionModel()->selectedRows())
        if (model.At(index.row()).state == CQueueModel::Running)
            runningSelected = true;
    m_pDelete->setEnabled(rows && !runningSelected);
    m_pCancel->setEnabled(rows);
}

void CQueueView::DeleteSelected()
{
    std::vector<int> rows;
    for (const QModelIndex& index : m_pList->selectionModel()->selectedRows())
        rows.push_back(index.row());
    m_queue.DeleteRows(rows);
}

void CQueueView::ShowContextMenu(const QPoint& globalPos)
{
    UpdateActions();
    QMenu menu(this);
    menu.addAction(m_pDelete);
    menu.addAction(m_pCancel);
    menu.exec(globalPos);
}
