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


QString ExtensionOf(QStringView lowerName)
{
    const qsizetype dot = lowerName.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : lowerName.mid(dot).toString();
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

// ---- names ---------------------------------------------------------------------------------

void CLocalNameStore::Keep(LocalEntry& entry, QStringView name, QStringView lower, const QByteArray& raw)
{
    name = name.left(kMaxNameUnits);
    lower = lower.left(kMaxNameUnits);
    const QByteArrayView bytes = QByteArrayView(raw).first(std::min(raw.size(), kMaxNameUnits));
    const bool same = lower == name;
    const size_t units = static_cast<size_t>(name.size()) + (same ? 0 : static_cast<size_t>(lower.size()))
        + (bytes.isEmpty() ? 0 : 1 + static_cast<size_t>(bytes.size()));
    // A little short of the 16 bits a position in a chunk has: a chunk and the allocator's
    // header fill whole pages.
    constexpr uint32_t kChunkUnits = (1u << kChunkBits) - 16;
    constexpr size_t kMaxChunks = size_t(1) << (32 - kChunkBits);
    if (m_chunks.empty() || m_nFill + units > kChunkUnits) {
        if (m_chunks.size() == kMaxChunks) { // four billion units: the name is left out
            entry.length = entry.sortLength = 0;
            entry.lowerIsName = true;
            entry.raw = false;
            entry.name = 0;
            return;
        }
        m_chunks.push_back(std::make_unique_for_overwrite<char16_t[]>(kChunkUnits));
        m_nFill = 0;
    }
    entry.name = static_cast<uint32_t>((m_chunks.size() - 1) << kChunkBits) | m_nFill;
    entry.length = static_cast<uint16_t>(name.size()) & 0x1fff;
    entry.sortLength = static_cast<uint16_t>(lower.size()) & 0x1fff;
    entry.lowerIsName = same;
    entry.raw = !bytes.isEmpty();
    char16_t* out = m_chunks.back().get() + m_nFill;
    out = std::copy(name.utf16(), name.utf16() + name.size(), out);
    if (!same)
        out = std::copy(lower.utf16(), lower.utf16() + lower.size(), out);
    if (!bytes.isEmpty()) {
        *out++ = static_cast<char16_t>(bytes.size());
        for (char byte : bytes)
            *out++ = static_cast<char16_t>(static_cast<unsigned char>(byte));
    }
    m_nFill += static_cast<uint32_t>(units);
    m_nUsed += units;
}

QByteArray CLocalNameStore::RawName(const LocalEntry& entry) const
{
    if (!entry.raw)
        return {};
    const char16_t* at = At(entry.name) + entry.length + (entry.lowerIsName ? 0 : entry.sortLength);
    QByteArray bytes(static_cast<qsizetype>(*at), Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(at[1 + i]);
    return bytes;
}

size_t CLocalNameStore::Units(const LocalEntry& entry) const
{
    size_t units = entry.length + (entry.lowerIsName ? 0 : entry.sortLength);
    if (entry.raw)
        units += 1 + At(entry.name)[units];
    return units;
}

void CLocalNameStore::Clear()
{
    std::vector<std::unique_ptr<char16_t[]>>().swap(m_chunks);
    m_nFill = 0;
    m_nUsed = 0;
}

// ---- model ---------------------------------------------------------------------------------

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
        case NameColumn: return Name(entry).toString();
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
        return index.column() == NameColumn ? QVariant(Name(entry).toString()) : QVariant();
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
            const QString extension = ExtensionOf(SortName(entry));
            const QString key = extension.isEmpty() ? SortName(entry).toString() : extension;
            auto it = m_iconByKey.constFind(key);
            if (it == m_iconByKey.cend()) {
                it = m_iconByKey.insert(key, static_cast<int>(m_icons.size()));
                m_icons.append(IconForFileName(Name(entry).toString()));
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
    const QString extension = ExtensionOf(SortName(entry));
    if (!extension.isEmpty()) {
        if (auto it = m_typeByExtension.constFind(extension); it != m_typeByExtension.cend())
            return KeepType(entry, it.value());
    }
    if (extension.isEmpty() && !DotlessNameMayHaveType(SortName(entry).toString())) {
        static const QString generic = QString::fromUtf8(talvex::kTextTypeFile);
        return KeepType(entry, generic);
    }
    QString key = m_folderText;
    key += SortName(entry);
    if (auto it = m_typeByPath.constFind(key); it != m_typeByPath.cend())
        return KeepType(entry, it.value());
    QString type;
    const QMimeType mime = MimeTypeForName(Name(entry).toString());
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

LocalEntry CLocalListModel::Keep(const FolderEntry& read)
{
    LocalEntry entry;
    const QString name = QFile::decodeName(read.name);
    // A name the text cannot give the bytes back of keeps its bytes for the path.
    const bool raw = name.contains(QChar::ReplacementCharacter) && QFile::encodeName(name) != read.name;
    m_names.Keep(entry, name, name.toLower(), raw ? read.name : QByteArray());
    entry.folder = read.folder;
    entry.size = read.folder ? -1 : read.size;
    entry.modified = read.modified;
    return entry;
}

QByteArray CLocalListModel::NameBytes(const LocalEntry& entry) const
{
    return entry.raw ? m_names.RawName(entry) : QFile::encodeName(Name(entry).toString());
}

QString CLocalListModel::RawKey(const LocalEntry& entry) const
{
    return QChar(0x1) + QString::fromLatin1(m_names.RawName(entry));
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
    m_names.Clear();
    m_nGoneUnits = 0;
    std::vector<int>().swap(m_order);
    std::vector<int>().swap(m_rowOfEntry);
    std::vector<int>().swap(m_prepared);
    m_volumePaths.clear();
    m_pPrepare.reset();
    m_pFinish.reset();
    m_pResort.reset();
    m_nIndexed = SIZE_MAX;
    std::vector<int>().swap(m_reconcileSlots);
    QHash<QString, int>().swap(m_rawIndex);
    std::vector<char>().swap(m_seen);
    m_updates.clear();
    std::vector<LocalEntry>().swap(m_added);
    endResetModel();
}

void CLocalListModel::AddEntry(const FolderEntry& entry) { m_entries.push_back(Keep(entry)); }

void CLocalListModel::AddParentEntry() { m_entries.push_back(Keep({"..", true, -1, 0})); }

void CLocalListModel::ShowVolumes(const QList<LocalVolume>& volumes, int column, int direction)
{
    for (const LocalVolume& volume : volumes) {
        LocalEntry entry;
        m_names.Keep(entry, volume.displayName, volume.displayName.toLower(), {});
        entry.folder = true;
        m_entries.push_back(entry);
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
    m_pPrepare = std::make_unique<StagedSort>(column, direction, m_names);
    // Row 0 (".." or the home folder) keeps its place; the rest in the order they were read.
    m_pPrepare->keys.reserve(m_entries.size());
    for (size_t i = 1; i < m_entries.size(); ++i)
        m_pPrepare->Add(m_entries[i], static_cast<int>(i));
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
    StartSorting(column, direction);
    SortStep(0);
    ShowSorted();
}

void CLocalListModel::StartSorting(int column, int direction)
{
    m_pResort.reset();
    if (m_order.size() <= 2)
        return;
    // Row 0 keeps its place; ties keep the order the rows have.
    m_pResort = std::make_unique<StagedSort>(column, direction, m_names);
    m_pResort->keys.reserve(m_order.size() - 1);
    for (size_t i = 1; i < m_order.size(); ++i)
        m_pResort->Add(m_entries[static_cast<size_t>(m_order[i])], m_order[i]);
}

bool CLocalListModel::SortStep(qint64 budgetNs) { return !m_pResort || m_pResort->Step(*this, budgetNs); }

void CLocalListModel::ShowSorted()
{
    if (!m_pResort)
        return;
    SortStep(0);
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> entryOfPersistent;
    entryOfPersistent.reserve(static_cast<size_t>(before.size()));
    for (const QModelIndex& index : before)
        entryOfPersistent.push_back(EntryIndexAt(index.row()));
    const std::vector<int> sorted = m_pResort->Order();
    m_pResort.reset();
    std::copy(sorted.begin(), sorted.end(), m_order.begin() + 1);
    RebuildRowIndex();
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype i = 0; i < before.size(); ++i)
        after.append(index(RowOfEntry(entryOfPersistent[static_cast<size_t>(i)]), before.at(i).column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void CLocalListModel::MarkRows(int first, int last)
{
    for (int row = std::max(first, 0); row <= last && static_cast<size_t>(row) < m_order.size(); ++row)
        EntryAt(row).marked = 1;
}

std::vector<int> CLocalListModel::TakeMarkedRows()
{
    // Row by row, so that they come in order (every entry has a row once it is shown).
    std::vector<int> rows;
    for (size_t row = 0; row < m_order.size(); ++row) {
        const LocalEntry& entry = EntryAt(static_cast<int>(row));
        if (entry.marked) {
            entry.marked = 0;
            rows.push_back(static_cast<int>(row));
        }
    }
    return rows;
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
    // The entries are looked at in the order they are kept, their names lying in that order in
    // the store: a million in a few milliseconds, where going row by row jumps about memory.
    int best = -1;
    int bestDistance = n;
    for (size_t i = 0; i < m_entries.size() && i < m_rowOfEntry.size(); ++i) {
        const int row = m_rowOfEntry[i];
        if (row < 0 || !Name(m_entries[i]).startsWith(text, Qt::CaseInsensitive))
            continue;
        const int distance = (row - start + n) % n; // from start on, wrapping once
        if (distance < bestDistance) {
            best = row;
            bestDistance = distance;
        }
    }
    return best;
}
