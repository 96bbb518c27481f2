#include "panes/local_list_model.h"

#include "app/prompt.h"
#include "panes/file_icons.h"
#include "panes/local_list_sort.h"
#include "panes/size_text.h"
#include "res/string_table.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QMimeDatabase>
#include <QMimeType>
#include <QSet>
#include <QThreadPool>

#include <algorithm>
#include <mutex>
#include <numeric>

namespace {


QString ExtensionOf(const QString& lowerName)
{
    const qsizetype dot = lowerName.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : lowerName.mid(dot);
}

// A shell pattern with '*' and '?' against a whole name, both lower case.
bool GlobMatches(QStringView pattern, QStringView name)
{
    qsizetype p = 0, n = 0, star = -1, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = n;
        } else if (star >= 0) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

// Whether a file name without any dot can have a type of its own. Only the few patterns of the
// MIME database without a dot can match such a name ("makefile", "readme*", "*~" …); when none
// does, its type is the generic one and the database need not be asked for every such file.
bool DotlessNameMayHaveType(const QString& lowerName)
{
    struct Patterns {
        QSet<QString> literals;
        QStringList wildcards;
        bool classes = false; // a pattern with [...]: not matched here, the database is asked
    };
    static const Patterns patterns = [] {
        Patterns p;
        for (const QMimeType& mime : QMimeDatabase().allMimeTypes()) {
            for (const QString& glob : mime.globPatterns()) {
                if (glob.contains(QLatin1Char('.')))
                    continue;
                if (glob.contains(QLatin1Char('[')))
                    p.classes = true;
                else if (glob.contains(QLatin1Char('*')) || glob.contains(QLatin1Char('?')))
                    p.wildcards.append(glob.toLower());
                else
                    p.literals.insert(glob.toLower());
            }
        }
        return p;
    }();
    if (patterns.classes || patterns.literals.contains(lowerName))
        return true;
    return std::any_of(patterns.wildcards.begin(), patterns.wildcards.end(),
                       [&](const QString& glob) { return GlobMatches(glob, lowerName); });
}

} // namespace

CLocalListModel::~CLocalListModel() = default;

CLocalListModel::CLocalListModel(QObject* parent) : QAbstractTableModel(parent)
{
    // Reading the MIME database's patterns takes a tenth of a second: done off the window
    // thread before the first sort by type needs them.
    static std::once_flag warmed;
    std::call_once(warmed, [] { QThreadPool::globalInstance()->start([] { DotlessNameMayHaveType(QString()); }); });
    m_icons.append(FolderIcon()); // index 0: every folder, volume and ".."
}

int CLocalListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_order.size());
}

int CLocalListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

Qt::ItemFlags CLocalListModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemNeverHasChildren;
}

QVariant CLocalListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return Str(129 + static_cast<unsigned>(section));
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(section == SizeColumn ? Qt::AlignRight | Qt::AlignVCenter : Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

QVariant CLocalListModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const int row = index.row();
    const LocalEntry& entry = EntryAt(row);
    // Row 0 of a folder is "..": a name and an icon, nothing else.
    const bool parentRow = row == 0 && !IsVolumeList();
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case NameColumn: return entry.displayName;
        case SizeColumn: return entry.size < 0 ? QString() : QString::fromStdString(talvex::SizeText(entry.size, false));
        case TypeColumn: return parentRow ? QString() : TypeName(entry);
        case TimeColumn: return (IsVolumeList() || parentRow) ? QString() : TimeText(entry.modified);
        default: return {};
        }
    case Qt::DecorationRole:
        return index.column() == NameColumn ? QVariant(IconOf(entry)) : QVariant();
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(index.column() == SizeColumn ? Qt::AlignRight | Qt::AlignVCenter : Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::ToolTipRole:
        return index.column() == NameColumn ? entry.displayName : QVariant();
    default: return {};
    }
}

QIcon CLocalListModel::IconOf(const LocalEntry& entry) const
{
    if (entry.icon < 0) {
        if (entry.folder) {
            entry.icon = 0;
        } else {
            // Files of one extension share one icon; a name without one is looked up alone.
            const QString extension = ExtensionOf(entry.sortName);
            const QString key = extension.isEmpty() ? entry.sortName : extension;
            auto it = m_iconByKey.constFind(key);
            if (it == m_iconByKey.cend()) {
                it = m_iconByKey.insert(key, static_cast<int>(m_icons.size()));
                m_icons.append(IconForFileName(entry.displayName));
            }
            entry.icon = it.value();
        }
    }
    return m_icons.value(entry.icon);
}

QString CLocalListModel::TypeName(const LocalEntry& entry) const
{
    if (entry.type >= 0)
        return m_typeNames[entry.type];
    if (entry.folder)
        return KeepType(entry, FolderTypeName());
    // Files share their type by extension: once one file of an extension is known, the others
    // cost a hash lookup (a first sort by type of 100,000 files must not ask the MIME database
    // or fill the path cache 100,000 times).
    const QString extension = ExtensionOf(entry.sortName);
    if (!extension.isEmpty()) {
        if (auto it = m_typeByExtension.constFind(extension); it != m_typeByExtension.cend())
            return KeepType(entry, it.value());
    }
    if (extension.isEmpty() && !DotlessNameMayHaveType(entry.sortName)) {
        static const QString generic = QString::fromUtf8(talvex::kTextTypeFile);
        return KeepType(entry, generic);
    }
    const QString key = m_folderText + entry.sortName;
    if (auto it = m_typeByPath.constFind(key); it != m_typeByPath.cend())
        return KeepType(entry, it.value());
    QString type;
    const QMimeType mime = MimeTypeForName(entry.displayName);
    if (mime.isValid() && !mime.isDefault())
        type = mime.comment();
    if (type.isEmpty()) {
        const QString suffix = extension.mid(1).toUpper();
        type = suffix.isEmpty() ? QString::fromUtf8(talvex::kTextTypeFile)
                                : suffix + QString::fromUtf8(talvex::kTextTypeFileSuffix);
    }
    if (!extension.isEmpty()) {
        // The fallback depends on the extension alone too: an unknown extension is not asked
        // about again for every file that has it.
        m_typeByExtension.insert(extension, type);
        return KeepType(entry, type);
    }
    if (m_typeByPath.size() >= kPathCacheLimit)
        m_typeByPath.clear(); // browsing many large folders must not grow it without end
    m_typeByPath.insert(key, type);
    return KeepType(entry, type);
}

const QString& CLocalListModel::KeepType(const LocalEntry& entry, const QString& type) const
{
    auto it = m_typeIndex.constFind(type);
    if (it == m_typeIndex.cend()) {
        it = m_typeIndex.insert(type, static_cast<int>(m_typeNames.size()));
        m_typeNames.append(type);
    }
    entry.type = it.value();
    return m_typeNames[entry.type];
}

QString CLocalListModel::TimeText(int64_t secondsSince1970)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(secondsSince1970);
    if (!local.isValid())
        return QString();
    // The remote pane's form: both panes show a time the same way.
    const QDate date = local.date();
    const QTime time = local.time();
    return QString::asprintf("%04d-%02d-%02d %02d:%02d", date.year(), date.month(), date.day(), time.hour(),
                             time.minute());
}

LocalEntry CLocalListModel::MakeEntry(const QByteArray& name, bool folder, int64_t size, int64_t modified)
{
    LocalEntry entry;
    entry.displayName = QFile::decodeName(name);
    if (entry.displayName.contains(QChar::ReplacementCharacter) && QFile::encodeName(entry.displayName) != name)
        entry.rawName = name; // the text cannot give the bytes back: keep them for the path
    entry.sortName = entry.displayName.toLower();
    entry.folder = folder;
    entry.size = folder ? -1 : size;
    entry.modified = modified;
    return entry;
}

QByteArray CLocalListModel::NameBytes(const LocalEntry& entry)
{
    return entry.rawName.isEmpty() ? QFile::encodeName(entry.displayName) : entry.rawName;
}

QByteArray CLocalListModel::PathBytes(int row) const
{
    const size_t at = static_cast<size_t>(m_order[static_cast<size_t>(row)]);
    if (IsVolumeList())
        return at < m_volumePaths.size() ? m_volumePaths[at] : QByteArray();
    return m_folder + NameBytes(m_entries[at]);
}

int CLocalListModel::RowOfEntry(int entryIndex) const
{
    if (entryIndex < 0 || static_cast<size_t>(entryIndex) >= m_rowOfEntry.size())
        return -1;
    return m_rowOfEntry[static_cast<size_t>(entryIndex)];
}

void CLocalListModel::Clear(const QByteArray& folder)
{
    beginResetModel();
    m_folder = folder;
    m_folderText = QFile::decodeName(folder);
    std::vector<LocalEntry>().swap(m_entries);
    std::vector<int>().swap(m_order);
    std::vector<int>().swap(m_rowOfEntry);
    std::vector<int>().swap(m_prepared);
    m_volumePaths.clear();
    m_pPrepare.reset();
    m_pFinish.reset();
    m_nIndexed = SIZE_MAX;
    QHash<QString, int>().swap(m_reconcileIndex);
    std::vector<char>().swap(m_seen);
    m_updates.clear();
    std::vector<LocalEntry>().swap(m_added);
    endResetModel();
}

void CLocalListModel::AddEntry(LocalEntry entry) { m_entries.push_back(std::move(entry)); }

void CLocalListModel::AddParentEntry()
{
    LocalEntry up;
    up.displayName = up.sortName = QStringLiteral("..");
    up.folder = true;
    m_entries.push_back(std::move(up));
}

void CLocalListModel::ShowVolumes(const QList<LocalVolume>& volumes, int column, int direction)
{
    for (const LocalVolume& volume : volumes) {
        LocalEntry entry;
        entry.displayName = volume.displayName;
        entry.sortName = volume.displayName.toLower();
        entry.folder = true;
        m_entries.push_back(std::move(entry));
        m_volumePaths.push_back(QFile::encodeName(volume.path));
    }
    Publish(column, direction);
}

void CLocalListModel::Publish(int column, int direction)
{
    PrepareRows(column, direction);
    ShowPreparedRows();
}

void CLocalListModel::PrepareRows(int column, int direction)
{
    StartPreparingRows(column, direction);
    PrepareStep(0);
}

void CLocalListModel::StartPreparingRows(int column, int direction)
{
    m_pPrepare = std::make_unique<StagedSort>(column, direction);
    // Row 0 (".." or the home folder) keeps its place; the rest in the order they were read.
    m_pPrepare->input.reserve(m_entries.size());
    for (size_t i = 1; i < m_entries.size(); ++i)
        m_pPrepare->input.emplace_back(&m_entries[i], static_cast<int>(i));
}

bool CLocalListModel::PrepareStep(qint64 budgetNs)
{
    if (!m_pPrepare)
        return true;
    if (!m_pPrepare->Step(*this, budgetNs))
        return false;
    m_prepared.clear();
    m_prepared.reserve(m_entries.size());
    if (!m_entries.empty())
        m_prepared.push_back(0);
    for (int entry : m_pPrepare->Order())
        m_prepared.push_back(entry);
    m_pPrepare.reset();
    return true;
}

int CLocalListModel::StagedSortColumn() const
{
    return m_pFinish ? m_pFinish->column : m_pPrepare ? m_pPrepare->column : -1;
}

int CLocalListModel::StagedSortDirection() const
{
    return m_pFinish ? m_pFinish->direction : m_pPrepare ? m_pPrepare->direction : -1;
}

void CLocalListModel::ShowPreparedRows()
{
    beginResetModel();
    m_order.swap(m_prepared);
    std::vector<int>().swap(m_prepared);
    RebuildRowIndex();
    endResetModel();
}

void CLocalListModel::ShowInReadOrder()
{
    beginResetModel();
    m_order.resize(m_entries.size());
    for (size_t i = 0; i < m_order.size(); ++i)
        m_order[i] = static_cast<int>(i);
    RebuildRowIndex();
    endResetModel();
}

void CLocalListModel::Sort(int column, int direction)
{
    if (m_order.size() <= 1)
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> entryOfPersistent;
    entryOfPersistent.reserve(static_cast<size_t>(before.size()));
    for (const QModelIndex& index : before)
        entryOfPersistent.push_back(EntryIndexAt(index.row()));
    SortOrder(m_order, column, direction);
    RebuildRowIndex();
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype i = 0; i < before.size(); ++i)
        after.append(index(RowOfEntry(entryOfPersistent[static_cast<size_t>(i)]), before.at(i).column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

namespace {
// An entry's key while reconciling: its name, or for a name whose bytes are not UTF-8 the bytes
// (marked, so that they never meet a real name).
QString ReconcileKey(const LocalEntry& entry)
{
    return entry.rawName.isEmpty() ? entry.displayName : QChar(0x1) + QString::fromLatin1(entry.rawName);
}
} // namespace

void CLocalListModel::BeginReconcile()
{
    m_pFinish.reset();
    m_reconcileIndex.clear();
    m_updates.clear();
    std::vector<LocalEntry>().swap(m_added);
    m_seen.assign(m_entries.size(), 0);
    m_nIndexed = m_entries.size();
    if (IsVolumeList() || m_entries.empty())
        return;
    m_seen[0] = 1; // ".."
    m_reconcileIndex.reserve(static_cast<qsizetype>(m_entries.size()));
    m_nIndexed = 1; // IndexStep indexes the others
}

bool CLocalListModel::IndexStep(qint64 budgetNs)
{
    QElapsedTimer clock;
    clock.start();
    for (; m_nIndexed < m_entries.size(); ++m_nIndexed) {
        m_reconcileIndex.insert(ReconcileKey(m_entries[m_nIndexed]), static_cast<int>(m_nIndexed));
        if ((m_nIndexed & 255) == 255 && budgetNs > 0 && clock.nsecsElapsed() >= budgetNs) {
            ++m_nIndexed;
            return m_nIndexed >= m_entries.size();
        }
    }
    return true;
}

void CLocalListModel::ReconcileEntry(LocalEntry entry)
{
    if (IsVolumeList() || m_seen.empty())
        return;
    IndexStep(0); // every row on show is indexed before entries are matched
    const auto it = m_reconcileIndex.constFind(ReconcileKey(entry));
    if (it == m_reconcileIndex.cend() || m_seen[static_cast<size_t>(it.value())]) {
        m_added.push_back(std::move(entry));
        return;
    }
    const int index = it.value();
    m_seen[static_cast<size_t>(index)] = 1;
    const LocalEntry& old = m_entries[static_cast<size_t>(index)];
    if (old.folder != entry.folder || old.size != entry.size || old.modified != entry.modified)
        m_updates.push_back({index, entry.folder, entry.size, entry.modified});
}

bool CLocalListModel::FinishReconcile(int column, int direction)
{
    if (!StartFinishing(column, direction))
        return false;
    FinishStep(0);
    ShowReconciled();
    return true;
}

bool CLocalListModel::StartFinishing(int column, int direction)
{
    if (!m_pFinish) {
        if (IsVolumeList() || m_seen.size() != m_entries.size() || m_entries.empty()) {
            m_seen.clear();
            return false;
        }
        IndexStep(0);
        m_nIndexed = SIZE_MAX;
        QHash<QString, int>().swap(m_reconcileIndex);
        const bool removed = std::find(m_seen.begin(), m_seen.end(), 0) != m_seen.end();
        if (!removed && m_updates.empty() && m_added.empty()) {
            std::vector<char>().swap(m_seen);
            return false;
        }
        // What was read of the entries still there holds from now on (their rows move once the
        // new order is ready).
        for (const Update& update : m_updates) {
            LocalEntry& entry = m_entries[static_cast<size_t>(update.entry)];
            if (entry.folder != update.folder) {
                entry.icon = -1;
                entry.type = -1;
            }
            entry.folder = update.folder;
            entry.size = update.folder ? -1 : update.size;
            entry.modified = update.modified;
        }
        m_updates.clear();
    }
    // The new order, in the numbering the table will have: the entries still there in their
    // order (".." first, not sorted), then the new ones. Started again for another column.
    m_pFinish = std::make_unique<StagedSort>(column, direction);
    m_pFinish->input.reserve(m_entries.size() + m_added.size());
    int next = 1;
    for (size_t i = 1; i < m_entries.size(); ++i)
        if (m_seen[i])
            m_pFinish->input.emplace_back(&m_entries[i], next++);
    for (const LocalEntry& entry : m_added)
        m_pFinish->input.emplace_back(&entry, next++);
    return true;
}

bool CLocalListModel::FinishStep(qint64 budgetNs) { return !m_pFinish || m_pFinish->Step(*this, budgetNs); }

void CLocalListModel::ShowReconciled()
{
    if (!m_pFinish)
        return;
    FinishStep(0);
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> entryOfPersistent;
    entryOfPersistent.reserve(static_cast<size_t>(before.size()));
    for (const QModelIndex& index : before) {
        const int row = index.row();
        entryOfPersistent.push_back(row >= 0 && static_cast<size_t>(row) < m_order.size()
                                        ? m_order[static_cast<size_t>(row)]
                                        : -1);
    }
    // Gone entries leave in place (the table keeps its order and its spare room), new ones
    // are added after the others: the numbering the sorted order was made in.
    std::vector<int> newIndexOfOld(m_entries.size(), -1);
    size_t kept = 0;
    for (size_t i = 0; i < m_entries.size(); ++i) {
        if (!m_seen[i])
            continue;
        if (kept != i)
            m_entries[kept] = std::move(m_entries[i]);
        newIndexOfOld[i] = static_cast<int>(kept++);
    }
    m_entries.resize(kept);
    for (LocalEntry& entry : m_added)
        m_entries.push_back(std::move(entry));
    std::vector<LocalEntry>().swap(m_added);
    std::vector<char>().swap(m_seen);
    m_order.clear();
    m_order.reserve(m_entries.size());
    m_order.push_back(0);
    for (int entry : m_pFinish->Order())
        m_order.push_back(entry);
    m_pFinish.reset();
    RebuildRowIndex();
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype i = 0; i < before.size(); ++i) {
        const int old = entryOfPersistent[static_cast<size_t>(i)];
        const int entry = old < 0 ? -1 : newIndexOfOld[static_cast<size_t>(old)];
        after.append(entry < 0 ? QModelIndex() : index(RowOfEntry(entry), before.at(i).column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void CLocalListModel::SortOrder(std::vector<int>& order, int column, int direction) const
{
    if (order.size() <= 2)
        return;
    // Row 0 keeps its place; ties keep the order the rows had.
    StagedSort sort(column, direction);
    sort.input.reserve(order.size() - 1);
    for (size_t i = 1; i < order.size(); ++i)
        sort.input.emplace_back(&m_entries[static_cast<size_t>(order[i])], order[i]);
    sort.Step(*this, 0);
    const std::vector<int> sorted = sort.Order();
    std::copy(sorted.begin(), sorted.end(), order.begin() + 1);
}

void CLocalListModel::RebuildRowIndex()
{
    m_rowOfEntry.assign(m_entries.size(), -1);
    for (size_t r = 0; r < m_order.size(); ++r)
        m_rowOfEntry[static_cast<size_t>(m_order[r])] = static_cast<int>(r);
}

int CLocalListModel::FindPrefix(const QString& text, int start) const
{
    const int n = rowCount();
    if (text.isEmpty() || n == 0)
        return -1;
    if (start < 0 || start >= n)
        start = 0;
    for (int i = 0; i < n; ++i) {
        const int row = (start + i) % n;
        if (EntryAt(row).displayName.startsWith(text, Qt::CaseInsensitive))
            return row;
    }
    return -1;
}
