#pragma once
// The local list's rows sorted in steps between window events (included by the model only).

#include "panes/local_list_model.h"

#include <QElapsedTimer>
#include <QHash>

#include <algorithm>
#include <vector>

namespace local_sort {

// One row in the sort: the entry (its name in the model's name store) and, when sorting by
// type, the rank of its type name. 16 bytes, so that a million rows sort in 32 MB.
struct SortKey {
    const LocalEntry* entry;
    int id;   // what the sorted order gives back for this row
    int rank; // sorting by type: the rank of the type name; else 0
};

// Runs sorted with std::stable_sort before they are merged.
constexpr size_t kRunLength = 1024;

} // namespace local_sort

using local_sort::SortKey;
using local_sort::kRunLength;

// A stable sort of rows in steps, each step ending when its time is up: the type names are
// looked up and ranked (when sorting by type), runs of kRunLength are sorted, and the runs are
// merged pass by pass, any merge stopping and going on at any element. Ties keep the order of
// the input. The entries must neither move nor change their names until the sort is done.
struct CLocalListModel::StagedSort {
    enum Phase { Keys, Ranks, Runs, Merge, Done };

    int column = NameColumn;
    int direction = Ascending;
    const CLocalNameStore& names;
    std::vector<SortKey> keys; // the rows, in tie order (Add)
    std::vector<SortKey> buffer;
    QHash<QString, int> typeIds; // sorting by type: an id for each distinct type name
    std::vector<QString> typeNames;
    Phase phase = Keys;
    size_t cursor = 0;                 // Keys, Runs: the next key or run
    size_t width = kRunLength;         // Merge: the length of the runs merged in this pass
    size_t lo = 0, mid = 0, hi = 0;    // Merge: the pair of runs being merged
    size_t i = 0, j = 0, k = 0;
    bool inPair = false;

    StagedSort(int sortColumn, int sortDirection, const CLocalNameStore& store)
        : column(sortColumn), direction(sortDirection), names(store)
    {
    }

    void Add(const LocalEntry& entry, int id) { keys.push_back({&entry, id, 0}); }

    bool AscendingKey(const SortKey& x, const SortKey& y) const
    {
        const LocalEntry& a = *x.entry;
        const LocalEntry& b = *y.entry;
        if (a.folder != b.folder)
            return a.folder;
        switch (column) {
        case SizeColumn:
            if (a.size != b.size)
                return a.size < b.size;
            break;
        case TimeColumn:
            if (a.modified != b.modified)
                return a.modified < b.modified;
            break;
        case TypeColumn:
            if (x.rank != y.rank)
                return x.rank < y.rank;
            break;
        default: break;
        }
        return QtPrivate::compareStrings(names.SortName(a), names.SortName(b)) < 0;
    }

    bool Less(const SortKey& x, const SortKey& y) const
    {
        return direction == Descending ? AscendingKey(y, x) : AscendingKey(x, y);
    }

    // Works until budgetNs is spent (no limit when it is 0 or less); true when the sort is done.
    bool Step(const CLocalListModel& model, qint64 budgetNs)
    {
        QElapsedTimer clock;
        clock.start();
        const auto spent = [&] { return budgetNs > 0 && clock.nsecsElapsed() >= budgetNs; };
        while (phase != Done) {
            switch (phase) {
            case Keys:
                // Only a sort by type needs more than the entries: their type names' ids.
                for (; column == TypeColumn && cursor < keys.size(); ++cursor) {
                    const QString type = model.TypeName(*keys[cursor].entry);
                    auto it = typeIds.constFind(type);
                    if (it == typeIds.cend()) {
                        it = typeIds.insert(type, static_cast<int>(typeNames.size()));
                        typeNames.push_back(type);
                    }
                    keys[cursor].rank = it.value();
                    if ((cursor & 255) == 255 && spent()) {
                        ++cursor;
                        return false;
                    }
                }
                cursor = 0;
                phase = column == TypeColumn ? Ranks : Runs;
                break;
            case Ranks: {
                // Type names compare by their rank among the few distinct lower-case names.
                std::vector<std::pair<QString, int>> byLower;
                byLower.reserve(typeNames.size());
                for (size_t id = 0; id < typeNames.size(); ++id)
                    byLower.emplace_back(typeNames[id].toLower(), static_cast<int>(id));
                std::sort(byLower.begin(), byLower.end(), [this](const auto& a, const auto& b) {
                    return a.first != b.first ? a.first < b.first : typeNames[a.second] < typeNames[b.second];
                });
                std::vector<int> rank(typeNames.size());
                for (size_t r = 0; r < byLower.size(); ++r)
                    rank[static_cast<size_t>(byLower[r].second)] = static_cast<int>(r);
                for (SortKey& key : keys)
                    key.rank = rank[static_cast<size_t>(key.rank)];
                phase = Runs;
                break;
            }
            case Runs:
                for (; cursor < keys.size(); cursor += kRunLength) {
                    const auto first = keys.begin() + static_cast<std::ptrdiff_t>(cursor);
                    const auto last = keys.begin() + static_cast<std::ptrdiff_t>(std::min(cursor + kRunLength, keys.size()));
                    std::stable_sort(first, last, [this](const SortKey& x, const SortKey& y) { return Less(x, y); });
                    if (spent()) {
                        cursor += kRunLength;
                        return false;
                    }
                }
                phase = keys.size() > kRunLength ? Merge : Done;
                if (phase == Merge)
                    buffer.resize(keys.size());
                break;
            case Merge: {
                const size_t n = keys.size();
                while (width < n) {
                    while (lo < n) {
                        if (!inPair) {
                            mid = std::min(lo + width, n);
                            hi = std::min(lo + 2 * width, n);
                            i = lo;
                            j = mid;
                            k = lo;
                            inPair = true;
                        }
                        while (k < hi) {
                            // The left run wins ties: the sort stays stable.
                            if (i < mid && (j >= hi || !Less(keys[j], keys[i])))
                                buffer[k++] = keys[i++];
                            else
                                buffer[k++] = keys[j++];
                            if ((k & 1023) == 0 && spent())
                                return false;
                        }
                        inPair = false;
                        lo = hi;
                    }
                    keys.swap(buffer);
                    width *= 2;
                    lo = 0;
                    if (spent() && width < n)
                        return false;
                }
                std::vector<SortKey>().swap(buffer);
                phase = Done;
                break;
            }
            case Done: break;
            }
        }
        return true;
    }

    // The ids in sorted order (once done).
    std::vector<int> Order() const
    {
        std::vector<int> order;
        order.reserve(keys.size());
        for (const SortKey& key : keys)
            order.push_back(key.id);
        return order;
    }
};
