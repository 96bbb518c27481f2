#include "res/accessible_texts.h"
#include "panes/remote_view.h"

#include "app/prompt.h"
#include "panes/folder_dlg.h"
#include "panes/list_columns.h"
#include "panes/rename_dlg.h"
#include "panes/report_list.h"
#include "protocol/message_ids.h"
#include "res/menu_resource.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QTimer>

#include <utility>

using namespace talvex;

namespace talvex {

QString FoldSlashes(QString path)
{
    while (path.contains(QStringLiteral("//")))
        path.replace(QStringLiteral("//"), QStringLiteral("/"));
    return path;
}

QString NameInShownFolder(const QString& path, const QString& shownFolder)
{
    QString p = path;
    if (p.endsWith(QLatin1Char('/')))
        p.chop(1);
    const qsizetype slash = p.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return {};
    if (p.left(slash + 1).compare(shownFolder, Qt::CaseInsensitive) != 0)
        return {};
    return p.mid(slash + 1);
}

QString ParentFolder(const QString& folder)
{
    QString p = folder;
    if (p.endsWith(QLatin1Char('/')))
        p.chop(1);
    const qsizetype slash = p.lastIndexOf(QLatin1Char('/'));
    if (slash <= 0)
        return QStringLiteral("/");
    return p.left(slash + 1);
}

} // namespace talvex

namespace {

constexpr int kMaxNameLength = 255;

// Label edits of the list: at most 255 characters; the end of an edit asks the view for a
// rename instead of changing the label. The drop-target row is drawn as selected.
class CRenameDelegate final : public QStyledItemDelegate {
public:
    CRenameDelegate(CRemoteView& view, QObject* parent) : QStyledItemDelegate(parent), m_view(view) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
        if (auto* line = qobject_cast<QLineEdit*>(editor))
            line->setMaxLength(kMaxNameLength);
        return editor;
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        if (index.row() != m_view.DropTargetRow()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem highlighted(option);
        highlighted.state |= QStyle::State_Selected;
        QStyledItemDelegate::paint(painter, highlighted, index);
    }

    void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex& index) const override
    {
        auto* line = qobject_cast<QLineEdit*>(editor);
        if (!line)
            return;
        // Handled once the editor is gone: a message box must not steal the focus of an editor
        // that is still committing.
        const int row = index.row();
        const QString oldName = index.data(Qt::DisplayRole).toString();
        const QString text = line->text();
        QPointer<CRemoteView> view(&m_view);
        QTimer::singleShot(0, &m_view, [view, row, oldName, text] {
            if (view && row < view->Model()->rowCount() && view->Model()->At(row).name == oldName)
                view->EndRenameInPlace(row, text);
        });
    }

private:
    CRemoteView& m_view;
};

} // namespace

CRemoteEdit::CRemoteEdit(QWidget* parent) : QLineEdit(parent)
{
    setObjectName(QStringLiteral("CRemoteEdit"));
    setAccessibleName(QString::fromUtf8(talvex::kAccRemotePath));
    setReadOnly(true);
}

CRemoteListCtrl::CRemoteListCtrl(CRemoteView& view, QWidget* parent) : QTreeView(parent), m_view(view)
{
    setObjectName(QStringLiteral("CRemoteListCtrl"));
    setAccessibleName(QString::fromUtf8(talvex::kAccRemoteList));
    setAccessibleDescription(QString::fromUtf8(talvex::kAccRemoteListHelp));
    UseReportListLook(*this); // F2 is handled below
}

bool CRemoteListCtrl::event(QEvent* event)
{
    // F5 lists this pane's folder again, Backspace goes up: before the window's shortcuts.
    if (event->type() == QEvent::ShortcutOverride && state() != QAbstractItemView::EditingState) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_F5 || key->key() == Qt::Key_Backspace)
            && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            event->accept();
            return true;
        }
    }
    return QTreeView::event(event);
}

QPoint CRemoteListCtrl::MenuPointOfCurrentRow() const
{
    const QRect row = visualRect(currentIndex());
    return viewport()->mapToGlobal(row.isValid() ? row.bottomLeft() + QPoint(8, 0) : QPoint(5, 5));
}

void CRemoteListCtrl::keyPressEvent(QKeyEvent* event)
{
    if (state() != QAbstractItemView::EditingState && event->modifiers() == Qt::ShiftModifier
        && event->key() == Qt::Key_F10) {
        m_view.ShowContextMenu(MenuPointOfCurrentRow());
        return;
    }
    switch (event->key()) {
    case Qt::Key_F5: m_view.Refresh(); return;
    case Qt::Key_Backspace:
        if (state() != QAbstractItemView::EditingState) {
            m_view.OpenParentFolder();
            return;
        }
        break;
    case Qt::Key_F2: m_view.BeginRenameInPlace(); return;
    case Qt::Key_Delete: m_view.DeleteSelected(); return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (state() != QAbstractItemView::EditingState) {
            m_view.OpenSelected();
            return;
        }
        break;
    default: break;
    }
    QTreeView::keyPressEvent(event);
}

void CRemoteListCtrl::contextMenuEvent(QContextMenuEvent* event)
{
    m_view.ShowContextMenu(event->reason() == QContextMenuEvent::Keyboard ? MenuPointOfCurrentRow() : event->globalPos());
}

void CRemoteListCtrl::mouseDoubleClickEvent(QMouseEvent* event)
{
    QTreeView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        m_view.OpenSelected();
}

CRemoteView::CRemoteView(IRemoteHost& host, QWidget* parent)
    : QWidget(parent), m_host(host), m_pModel(new CRemoteListModel(this)), m_pList(new CRemoteListCtrl(*this, this)),
      m_pLabel(new QLabel(QStringLiteral("  %1  ").arg(Str(341)), this)), m_pPathEdit(new CRemoteEdit(this))
{
    setObjectName(QStringLiteral("CRemoteView"));
    m_pLabel->setObjectName(QStringLiteral("remoteSiteLabel"));
    m_pLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_pList->setModel(m_pModel);
    m_pList->setItemDelegate(new CRenameDelegate(*this, m_pList));
    auto* fit = new CListColumns(*m_pList, {150, 70, 70, 120});
    connect(m_pModel, &QAbstractItemModel::rowsInserted, fit, &CListColumns::FitSoon); // uploaded files, new folders
    m_pPathEdit->setFocusPolicy(Qt::ClickFocus); // Tab goes from list to list

    m_askFolderName = [this](QString& name) { return CFolderDlg::Ask(CFolderDlg::NewFolder, this, name); };
    m_askRenameTarget = [this](const QString& source, QString& target) {
        CRenameDlg dlg(source, m_pList);
        if (dlg.exec() != QDialog::Accepted)
            return false;
        target = dlg.m_strTarget;
        return true;
    };

    for (const MenuItem& item : kRemoteMenu) {
        auto* action = new QAction(QString::fromUtf8(item.text), this);
        action->setData(item.id);
        m_actions.insert(item.id, action);
    }
    connect(m_actions.value(ID_REMOTE_MKDIR), &QAction::triggered, this, &CRemoteView::CreateFolder);
    connect(m_actions.value(ID_REMOTE_DELETE), &QAction::triggered, this, &CRemoteView::DeleteSelected);
    connect(m_actions.value(ID_REMOTE_RENAME), &QAction::triggered, this, &CRemoteView::RenameSelected);
    connect(m_actions.value(ID_REMOTE_CHECKSYNC), &QAction::triggered, this, &CRemoteView::CheckSyncSelected);
    connect(m_pList->selectionModel(), &QItemSelectionModel::selectionChanged, this, &CRemoteView::UpdateActions);
    connect(m_pModel, &QAbstractItemModel::modelReset, this, &CRemoteView::UpdateActions);
    connect(m_pModel, &QAbstractItemModel::rowsRemoved, this, [this] { m_nDropTarget = -1; });
    UpdateActions();
}

void CRemoteView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const QFontMetrics metrics(m_pLabel->font());
    const int textWidth = metrics.horizontalAdvance(m_pLabel->text());
    const int textHeight = metrics.height();
    m_pList->setGeometry(0, 21, width(), qMax(0, height() - 21));
    m_pLabel->setGeometry(0, 9 - textHeight / 2, textWidth, textHeight / 2 + 11);
    m_pPathEdit->setGeometry(textWidth, 0, width() - textWidth + 2, 20);
}

void CRemoteView::paintEvent(QPaintEvent* event)
{
    QWidget::paintEvent(event);
    QPainter painter(this);
    painter.setPen(QPen(palette().color(QPalette::WindowText), 1)); // seen on a dark palette too
    painter.drawLine(0, 20, width(), 20);
}

// ---- rows ---------------------------------------------------------------------------------

void CRemoteView::ShowListing(CRemoteEntryList entries)
{
    const bool belowRoot = m_strCurrentPath.compare(QStringLiteral("/"), Qt::CaseInsensitive) != 0;
    m_nDropTarget = -1;
    m_pModel->Fill(entries, belowRoot, m_host.IsDetailSize());
    m_pPathEdit->setText(m_strCurrentPath);
    m_bAwaitingListing = false;
    if (!m_strAfterListing.isEmpty()) {
        const int row = m_pModel->FindName(std::exchange(m_strAfterListing, QString()));
        if (row >= 0) {
            const QModelIndex index = m_pModel->index(row, 0);
            m_pList->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            m_pList->scrollTo(index);
        }
    }
    UpdateActions();
    if (CListColumns* columns = CListColumns::Of(*m_pList))
        columns->FitSoon();
}

void CRemoteView::OpenPath(const QString& path)
{
    if (!m_host.IsRemoteReady() || path.isEmpty())
        return;
    m_strCurrentPath = path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
    m_pPathEdit->setText(m_strCurrentPath);
    m_bAwaitingListing = true;
    m_host.RequestBrowse(m_strCurrentPath);
    UpdateActions();
}

void CRemoteView::Reset()
{
    m_strCurrentPath = QStringLiteral("/");
    m_strAfterListing.clear();
    m_nDropTarget = -1;
    CRemoteEntryList none;
    m_pModel->Fill(none, false, m_host.IsDetailSize());
    m_pPathEdit->setText(m_strCurrentPath);
    m_bAwaitingListing = false;
    UpdateActions();
}

bool CRemoteView::HasItemNamed(const QString& name) const { return m_pModel->FindName(name) >= 0; }

void CRemoteView::RemoveItemNamed(const QString& name) { m_pModel->RemoveAt(m_pModel->FindName(name)); }

void CRemoteView::RenameItemNamed(const QString& name, const QString& newName)
{
    const int row = m_pModel->FindName(name);
    if (row < 0)
        return;
    if (newName.isEmpty())
        m_pModel->RemoveAt(row);
    else
        m_pModel->SetNameAt(row, newName);
}

void CRemoteView::AddFolderRow(const QString& name)
{
    if (HasItemNamed(name))
        return;
    CRemoteListModel::Row row = CRemoteListModel::FolderRow(name);
    row.sizeText = QStringLiteral("0");
    row.timeText = CRemoteListModel::NowText();
    m_pModel->Append(std::move(row));
}

void CRemoteView::AddFileRow(const QString& name, const QString& sizeText)
{
    if (HasItemNamed(name))
        return;
    CRemoteListModel::Row row = CRemoteListModel::FileRow(name);
    row.sizeText = sizeText;
    row.timeText = CRemoteListModel::NowText();
    m_pModel->Append(std::move(row));
}

void CRemoteView::RepaintRow(int row)
{
    if (row < 0 || row >= m_pModel->rowCount())
        return;
    const QRect rect = m_pList->visualRect(m_pModel->index(row, 0));
    m_pList->viewport()->update(QRect(0, rect.top(), m_pList->viewport()->width(), rect.height()));
}

bool CRemoteView::HoverDropTarget(const QWidget* source, const QPoint& globalPos)
{
    const QModelIndex index = m_pList->indexAt(m_pList->viewport()->mapFromGlobal(globalPos));
    if (source == m_pList && index.isValid() && m_pList->selectionModel()->isRowSelected(index.row())) {
        ClearDropTarget(); // onto itself
        return false;
    }
    if (!index.isValid()) {
        ClearDropTarget();
        return true;
    }
    if (index.row() != m_nDropTarget) {
        const int old = m_nDropTarget;
        m_nDropTarget = index.row();
        RepaintRow(old);
        RepaintRow(m_nDropTarget);
    }
    return true;
}

void CRemoteView::ClearDropTarget()
{
    const int old = m_nDropTarget;
    m_nDropTarget = -1;
    RepaintRow(old);
}

QList<int> CRemoteView::SelectedRows() const
{
    QList<int> rows;
    for (const QModelIndex& index : m_pList->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

// ---- actions ------------------------------------------------------------------------------

bool CRemoteView::CanModify() const
{
    // While a folder change waits for its listing, the rows on show belong to the folder
    // before it: a path built from them would name the wrong item.
    return m_host.IsRemoteReady() && !m_bAwaitingListing;
}

void CRemoteView::UpdateActions()
{
    const bool ready = m_host.IsRemoteReady();
    const bool chosen = m_pModel->rowCount() > 0 && m_pList->selectionModel()->hasSelection();
    m_actions.value(ID_REMOTE_MKDIR)->setEnabled(ready);
    for (unsigned id : {ID_REMOTE_DELETE, ID_REMOTE_RENAME, ID_REMOTE_CHECKSYNC})
        m_actions.value(id)->setEnabled(ready && chosen);
}

void CRemoteView::ShowContextMenu(const QPoint& globalPos)
{
    UpdateActions();
    QMenu menu(m_pList);
    for (const MenuItem& item : kRemoteMenu)
        menu.addAction(m_actions.value(item.id));
    menu.exec(globalPos);
}

void CRemoteView::SendRequest(uint32_t id, const QString& text1, const QString& text2)
{
    m_host.SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{id, text1.toStdString(), text2.toStdString()}));
}

void CRemoteView::SendRename(const QString& oldPath, const QString& newPath)
{
    m_host.SetStatus(8);
    SendRequest(UM_RENAME, oldPath, newPath);
}

void CRemoteView::OpenSelected()
{
    if (!m_host.IsRemoteReady())
        return;
    const int chosen = CCurrentRowKeys::RowToOpen(*m_pList);
    if (chosen < 0)
        return;
    const CRemoteListModel::Row& row = m_pModel->At(chosen);
    if (!row.folder)
        return;
    if (row.parent) {
        OpenParentFolder();
        return;
    }
    m_strCurrentPath = m_strCurrentPath + row.name + QLatin1Char('/');
    m_strAfterListing.clear();
    m_bAwaitingListing = true;
    m_host.RequestBrowse(m_strCurrentPath);
}

void CRemoteView::OpenParentFolder()
{
    if (!m_host.IsRemoteReady() || m_strCurrentPath == QStringLiteral("/"))
        return;
    QString left = m_strCurrentPath;
    left.chop(1);
    m_strAfterListing = left.mid(left.lastIndexOf(QLatin1Char('/')) + 1);
    m_strCurrentPath = ParentFolder(m_strCurrentPath);
    m_bAwaitingListing = true;
    m_host.RequestBrowse(m_strCurrentPath);
}

void CRemoteView::Refresh()
{
    if (!m_host.IsRemoteReady())
        return;
    m_host.RequestBrowse(m_strCurrentPath); // the rows on show stay this folder's
}

void CRemoteView::CreateFolder()
{
    if (!CanModify())
        return;
    for (;;) {
        QString name;
        if (!m_askFolderName || !m_askFolderName(name))
            return;
        if (!HasItemNamed(name)) {
            SendRequest(UM_MKDIR, m_strCurrentPath + name + QLatin1Char('/'));
            return;
        }
        if (!AskYesNo(this, 264))
            return;
    }
}

void CRemoteView::DeleteSelected()
{
    if (!CanModify())
        return;
    const QList<int> rows = SelectedRows();
    if (rows.isEmpty())
        return;
    // What the user confirms is what is deleted, even if the list changes while asking.
    struct Target {
        QString name;
        bool folder;
    };
    QList<Target> targets;
    for (int r : rows) {
        const CRemoteListModel::Row& row = m_pModel->At(r);
        if (!row.parent)
            targets.append({row.name, row.folder});
    }
    const QString folder = m_strCurrentPath;
    if (!AskYesNo(this, 265))
        return;
    for (const Target& target : targets) {
        if (target.folder)
            SendRequest(UM_RMDIR, folder + target.name + QLatin1Char('/'));
        else
            SendRequest(UM_DELFILE, folder + target.name);
    }
}

void CRemoteView::RenameSelected()
{
    if (!CanModify())
        return;
    const QList<int> rows = SelectedRows();
    if (rows.size() > 1) {
        ShowMessage(this, 263, PromptIcon::Information);
        return;
    }
    if (rows.isEmpty() || m_pModel->At(rows.first()).parent)
        return;
    const QString oldName = m_pModel->At(rows.first()).name;
    const bool folder = m_pModel->At(rows.first()).folder;
    const QString base = m_strCurrentPath;
    QString target;
    if (!m_askRenameTarget || !m_askRenameTarget(oldName, target))
        return;
    const QString newName = target.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QString oldPath = base + oldName;
    // A target with a "/" is an absolute path: the item moves there.
    QString newPath = newName.contains(QLatin1Char('/')) ? newName : base + newName;
    if (folder) {
        oldPath += QLatin1Char('/');
        newPath += QLatin1Char('/');
    }
    SendRename(FoldSlashes(oldPath), FoldSlashes(newPath));
}

void CRemoteView::BeginRenameInPlace()
{
    if (!CanModify())
        return;
    const QList<int> rows = SelectedRows();
    if (rows.size() != 1 || m_pModel->At(rows.first()).parent)
        return;
    const QModelIndex index = m_pModel->index(rows.first(), CRemoteListModel::NameColumn);
    m_pList->setCurrentIndex(index);
    m_pList->edit(index);
}

void CRemoteView::EndRenameInPlace(int rowIndex, const QString& text)
{
    if (!CanModify() || rowIndex < 0 || rowIndex >= m_pModel->rowCount())
        return;
    const CRemoteListModel::Row& row = m_pModel->At(rowIndex);
    if (row.parent)
        return;
    const QString newName = text.left(kMaxNameLength);
    if (CFolderDlg::HasForbiddenChar(newName)) {
        ShowMessage(this, 206, PromptIcon::Warning);
        return;
    }
    // An empty name would rename the item to its own folder; an unchanged one has nothing to do.
    if (newName.isEmpty() || newName == row.name)
        return;
    QString oldPath = m_strCurrentPath + row.name;
    QString newPath = m_strCurrentPath + newName;
    if (row.folder) {
        oldPath += QLatin1Char('/');
        newPath += QLatin1Char('/');
    }
    SendRename(FoldSlashes(oldPath), FoldSlashes(newPath));
}

void CRemoteView::CheckSyncSelected()
{
    if (!CanModify())
        return;
    const QList<int> rows = SelectedRows();
    if (rows.size() > 1) {
        ShowMessage(this, 262, PromptIcon::Information);
        return;
    }
    if (rows.isEmpty())
        return;
    const CRemoteListModel::Row& row = m_pModel->At(rows.first());
    if (row.parent)
        return; // ".." names no item of its own
    m_host.SetCheckSync(true);
    SendRequest(UM_CHECKSYNC, m_strCurrentPath + row.name + (row.folder ? QStringLiteral("/") : QString()));
}
