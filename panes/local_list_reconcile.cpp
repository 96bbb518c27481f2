#include "panes/local_list_model.h"

// Reading the folder on show again: its rows indexed by name, the entries read matched against
// them, and the new order sorted and shown (see CLocalListModel::BeginReconcile).

#include "panes/local_list_sort.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <bit>

void CLocalListModel::BeginReconcile()
{
    m_pFinish.reset();
    std::vector<int>().swap(m_reconcileSlots);
    m_rawIndex.clear();
    m_updates.clear();
    std::vector<LocalEntry>().swap(m_added);
    m_seen.assign(m_entries.size(), 0);
    m_nIndexed = m_entries.size();
    if (IsVolumeList() || m_entries.empty())
        return;
    m_seen[0] = 1; // ".."
    m_reconcileSlots.assign(std::bit_ceil(m_entries.size() * 2), 0);
    m_nIndexed = 1; // IndexStep indexes the others
}

bool CLocalListModel::IndexStep(qint64 budgetNs)
{
    QElapsedTimer clock;
    clock.start();
    for (; m_nIndexed < m_entries.size(); ++m_nIndexed) {
        const LocalEntry& entry = m_entries[m_nIndexed];
        if (entry.raw)
            m_rawIndex.insert(RawKey(entry), static_cast<int>(m_nIndexed));
        else
            IndexName(static_cast<int>(m_nIndexed));
        if ((m_nIndexed & 255) == 255 && budgetNs > 0 && clock.nsecsElapsed() >= budgetNs) {
            ++m_nIndexed;
            return m_nIndexed >= m_entries.size();
        }
    }
    return true;
}

// The rows on show by name, for a reconcile: an open table of entry numbers (one int a slot, at
// most half of them used), the names themselves staying in the store.
void CLocalListModel::IndexName(int entry)
{
    const size_t mask = m_reconcileSlots.size() - 1;
    size_t slot = qHash(Name(m_entries[static_cast<size_t>(entry)])) & mask;
    while (m_reconcileSlots[slot] != 0)
        slot = (slot + 1) & mask;
    m_reconcileSlots[slot] = entry + 1;
}

int CLocalListModel::FindUnseen(QStringView name) const
{
    if (m_reconcileSlots.empty())
        return -1;
    const size_t mask = m_reconcileSlots.size() - 1;
    for (size_t slot = qHash(name) & mask; m_reconcileSlots[slot] != 0; slot = (slot + 1) & mask) {
        const auto entry = static_cast<size_t>(m_reconcileSlots[slot] - 1);
        if (!m_seen[entry] && !m_entries[entry].raw && Name(m_entries[entry]) == name)
            return static_cast<int>(entry);
    }
    return -1;
}

void CLocalListModel::ReconcileEntry(const FolderEntry& read)
{
    if (IsVolumeList() || m_seen.empty())
        return;
    IndexStep(0); // every row on show is indexed before entries are matched
    const QString name = QFile::decodeName(read.name);
    int index = -1;
    if (name.contains(QChar::ReplacementCharacter) && QFile::encodeName(name) != read.name)
        index = m_rawIndex.value(QChar(0x1) + QString::fromLatin1(read.name), -1);
    else
        index = FindUnseen(name);
    if (index < 0 || m_seen[static_cast<size_t>(index)]) {
        m_added.push_back(Keep(read));
        return;
    }
    m_seen[static_cast<size_t>(index)] = 1;
    const LocalEntry& old = m_entries[static_cast<size_t>(index)];
    const int64_t size = read.folder ? -1 : read.size;
    if (old.folder != read.folder || old.size != size || old.modified != read.modified)
        m_updates.push_back({index, read.folder, size, read.modified});
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
        std::vector<int>().swap(m_reconcileSlots);
        QHash<QString, int>().swap(m_rawIndex);
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
    m_pResort.reset(); // the entries change: this sort gives the rows their new order
    m_pFinish = std::make_unique<StagedSort>(column, direction, m_names);
    m_pFinish->keys.reserve(m_entries.size() + m_added.size());
    int next = 1;
    for (size_t i = 1; i < m_entries.size(); ++i)
        if (m_seen[i])
            m_pFinish->Add(m_entries[i], next++);
    for (const LocalEntry& entry : m_added)
        m_pFinish->Add(entry, next++);
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
        if (!m_seen[i]) {
            m_nGoneUnits += m_names.Units(m_entries[i]);
            continue;
        }
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
    CompactNames();
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

void CLocalListModel::CompactNames()
{
    // A folder whose files come and go keeps the names of the gone ones until they are the
    // larger part of the store.
    if (m_nGoneUnits < kCompactAfterUnits || m_nGoneUnits * 2 < m_names.UnitsUsed())
        return;
    CLocalNameStore names;
    for (LocalEntry& entry : m_entries) {
        const LocalEntry old = entry;
        names.Keep(entry, m_names.Name(old), m_names.SortName(old), m_names.RawName(old));
    }
    m_names = std::move(names);
    m_nGoneUnits = 0;
}
