#include "panes/result_views.h"

#include "app/prompt.h"
#include "panes/file_icons.h"
#include "panes/size_text.h"
#include "protocol/upload_tracker.h"

#include <QAction>
#include <QHash>
#include <QTableView>
#include <QTimer>

using namespace talvex;

namespace {

constexpr unsigned kResendId = 32816;

constexpr Qt::Alignment kLeft = Qt::AlignLeft;
constexpr Qt::Alignment kRight = Qt::AlignRight;
constexpr Qt::Alignment kCentre = Qt::AlignHCenter;
constexpr auto kSize = CResultModel::CellKind::Size;
constexpr auto kStatus = CResultModel::CellKind::Fixed;

// The icon of a local file: looked up once per extension (what follows the first dot of the
// name), as a type database lookup for each of a million rows takes longer than the rest of
// the row. Names without one are looked up each time. Window thread only.
QIcon UploadIcon(const QString& path)
{
    const QStringView name = QStringView(path).mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    if (dot <= 0)
        return IconForFileName(path);
    static QHash<QString, QIcon> byExtension;
    const QString extension = name.mid(dot).toString();
    auto found = byExtension.constFind(extension);
    if (found == byExtension.constEnd()) {
        if (byExtension.size() > 4096)
            byExtension.clear();
        found = byExtension.insert(extension, IconForFileName(path));
    }
    return *found;
}

CResultModel::Row UploadRow(const CResultRowTexts& texts, unsigned statusId)
{
    CResultModel::Row row;
    row.texts = {texts.localPath, texts.remoteName, texts.sizeText, Str(statusId)};
    row.icon = UploadIcon(texts.localPath);
    return row;
}

CResultRowTexts TextsOf(const CResultModel& model, int row)
{
    return {model.Text(row, 0), model.Text(row, 1), model.Text(row, 2), QString()};
}

// Suspends the list's drawing for the life of the object.
class NoRedraw {
public:
    explicit NoRedraw(QWidget* list) : m_list(list) { m_list->setUpdatesEnabled(false); }
    ~NoRedraw() { m_list->setUpdatesEnabled(true); }
    NoRedraw(const NoRedraw&) = delete;
    NoRedraw& operator=(const NoRedraw&) = delete;

private:
    QWidget* m_list;
};

} // namespace

// ---- progress ------------------------------------------------------------------------------

CProcessView::CProcessView(QWidget* parent)
    : CResultView("CProcessView",
                  {{339, 300, kLeft},
                   {340, 300, kLeft},
                   {338, 100, kRight, kSize},
                   {336, 100, kCentre, kStatus},
                   {0, 0, kCentre, kStatus}},
                  {LocalColumn, RemoteColumn, SizeColumn}, false, parent)
{
    // No context menu: a right click does nothing here.
}

void CProcessView::AddResultRow(const CResultRowTexts& texts, const QString& moveFolder, const void* key)
{
    CResultModel::Row row = UploadRow(texts, m_bSyncService ? 311 : 308);
    row.texts.append(moveFolder);
    row.key = key;
    Model()->Append(std::move(row));
}

// ---- completed -----------------------------------------------------------------------------

CCompleteResultView::CCompleteResultView(QWidget* parent)
    : CResultView("CCompleteResultView", {{339, 300, kLeft}, {340, 100, kLeft}, {338, 100, kRight, kSize}, {336, 100, kCentre, kStatus}},
                  {0, 1, 2, 3}, false, parent)
{
    AddClearAndCopyCommands();
}

void CCompleteResultView::AddResultRow(const CResultRowTexts& texts) { Model()->Append(UploadRow(texts, 310)); }

// ---- failed --------------------------------------------------------------------------------

CFailView::CFailView(QWidget* parent)
    : CResultView("CFailView", {{339, 300, kLeft}, {340, 300, kLeft}, {338, 100, kRight, kSize}, {336, 100, kCentre, kStatus}},
                  {0, 1, 2}, false, parent)
{
    AddClearAndCopyCommands();
    AddMenuCommand(kResendId, [this] { ResendFailed(); });
    connect(Model(), &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int first, int last) { CountRows(first, last, 1); });
    connect(Model(), &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) { CountRows(first, last, -1); });
    connect(Model(), &QAbstractItemModel::modelReset, this, [this] {
        m_rowsOfKey.clear();
        CountRows(0, RowCount() - 1, 1);
    });
}

quint64 CFailView::KeyOf(const QString& remoteName)
{
    return std::hash<std::string>{}(CUploadTracker::PathKey(remoteName.toStdString()));
}

void CFailView::CountRows(int first, int last, int by)
{
    for (int row = first; row <= last; ++row) {
        const quint64 key = KeyOf(Model()->Text(row, CProcessView::RemoteColumn));
        auto found = m_rowsOfKey.find(key);
        if (by > 0)
            found == m_rowsOfKey.end() ? void(m_rowsOfKey.insert(key, 1)) : void(++*found);
        else if (found != m_rowsOfKey.end() && --*found == 0)
            m_rowsOfKey.erase(found);
    }
}

int CFailView::RowOf(const QString& localPath, const QString& remoteName) const
{
    // The rows appended and not shown yet are counted once they are shown: that comes first.
    const int rows = RowCount();
    if (!MayHold(KeyOf(remoteName)))
        return -1;
    for (int row = 0; row < rows; ++row)
        if (Model()->Text(row, CProcessView::RemoteColumn) == remoteName && Model()->Text(row, CProcessView::LocalColumn) == localPath)
            return row;
    return -1;
}

void CFailView::AddResultRow(const CResultRowTexts& texts)
{
    CResultModel::Row row = UploadRow(texts, 309);
    if (!texts.status.isEmpty())
        row.texts[3] = texts.status;
    Model()->Append(std::move(row));
}

std::vector<CResultRowTexts> CFailView::RecheckFailed(CSyncNoticeList& notices)
{
    std::vector<CResultRowTexts> confirmed;
    if (RowCount() == 0)
        return confirmed;
    NoRedraw quiet(List());
    auto& list = notices.notices;
    for (auto it = list.begin(); it != list.end();) {
        // Only an upload's own notice speaks of a failed upload.
        int found = -1;
        if (it->kind == kNoticePutFile) {
            const std::string key = CUploadTracker::PathKey(it->text);
            if (MayHold(std::hash<std::string>{}(key)))
                for (int row = 0; row < RowCount() && found < 0; ++row)
                    if (CUploadTracker::HasKey(Model()->Text(row, CProcessView::RemoteColumn).toStdString(), key))
                        found = row;
        }
        if (found < 0) {
            ++it;
            continue;
        }
        if (it->number == 200) {
            confirmed.push_back(TextsOf(*Model(), found));
            Model()->Remove(found);
        }
        it = list.erase(it);
    }
    return confirmed;
}

std::vector<CUploadOrder> CFailView::OrdersOf(int count) const
{
    std::vector<CUploadOrder> orders;
    orders.reserve(static_cast<size_t>(std::max(0, count)));
    for (int row = 0; row < count && row < RowCount(); ++row) {
        CUploadOrder order;
        order.kind = 0;
        order.source = Model()->Text(row, 0).toStdString();
        order.remoteFolder = Model()->Text(row, 1).toStdString();
        orders.push_back(std::move(order));
    }
    return orders;
}

std::vector<CUploadOrder> CFailView::TakeResendOrders()
{
    std::vector<CUploadOrder> orders = OrdersOf(RowCount());
    RemoveAll();
    return orders;
}

bool CFailView::CommandAllowed(unsigned commandId) const
{
    return commandId != kResendId || ((!m_resendAllowed || m_resendAllowed()) && m_resendLeft == 0);
}

void CFailView::ResendFailed()
{
    if (!CommandAllowed(kResendId))
        return;
    if (RowCount() <= kResendStep) {
        std::vector<CUploadOrder> orders = TakeResendOrders();
        if (!orders.empty())
            emit resendRequested(std::move(orders));
        return;
    }
    // A million rows would hold the window for seconds and their orders at once: a step a turn.
    m_resendLeft = m_resendTotal = RowCount();
    UpdateActions();
    ResendStep();
}

void CFailView::ResendStep()
{
    if (m_resendLeft <= 0)
        return;
    // The page emptied meanwhile (모두지우기), or the session went: the rest stays where it is.
    const int count = std::min({m_resendLeft, kResendStep, RowCount()});
    if (count <= 0 || (m_resendAllowed && !m_resendAllowed())) {
        m_resendLeft = m_resendTotal = 0;
        UpdateActions();
        emit resendProgress(0, 0);
        return;
    }
    std::vector<CUploadOrder> orders = OrdersOf(count);
    Model()->RemoveFirst(count);
    m_resendLeft -= count;
    const int total = m_resendTotal;
    if (m_resendLeft == 0) {
        m_resendTotal = 0;
        UpdateActions();
    } else {
        QTimer::singleShot(0, this, &CFailView::ResendStep);
    }
    emit resendProgress(total - m_resendLeft, total);
    emit resendRequested(std::move(orders));
}

// ---- search results ------------------------------------------------------------------------

CFindView::CFindView(QWidget* parent)
    : CResultView("CFindView", {{340, 350, kLeft}, {338, 80, kRight, kSize}, {132, 100, kRight}}, {0, 1, 2}, true, parent)
{
    AddClearAndCopyCommands();
}

QString CFindView::TimeText(const OleDate& date)
{
    CalendarTime t;
    if (!date.IsValid() || !OleDateToSystemTime(date, t))
        return {};
    return QString::asprintf("%04d-%02d-%02d %02d:%02d", t.year, t.month, t.day, t.hour, t.minute);
}

void CFindView::ShowSearchResults(const CRemoteEntryList& entries)
{
    Model()->Clear();
    NoRedraw quiet(List());
    std::vector<CResultModel::Row> rows;
    rows.reserve(entries.size());
    for (const CRemoteEntry& entry : entries) {
        CResultModel::Row row;
        const QString name = QString::fromStdString(entry.name);
        row.icon = entry.IsFolder() ? FolderIcon() : IconForFileName(name);
        row.texts = {name, QString::fromStdString(GroupThousands(entry.size)), TimeText(entry.modified)};
        row.data = entry.IsFolder() ? 1 : 0;
        rows.push_back(std::move(row));
    }
    Model()->Append(std::move(rows));
}
