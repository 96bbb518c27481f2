#pragma once
// CLocalListModel: the rows of the local pane, supplied on demand. The model keeps the entries
// in the order they were read and a row order that maps each row to an entry; sorting only
// rearranges the row order. Row 0 never moves: the ".." row of a folder, the home folder of the
// volume list. Texts, icons and type names are made when a row is first shown.

#include "panes/local_volumes.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QHash>
#include <QIcon>
#include <QVector>

#include <cstdint>
#include <cstddef>
#include <memory>
#include <vector>

// One entry as read from the disk, before the model keeps it.
struct FolderEntry {
    QByteArray name; // the name's bytes on disk
    bool folder = false;
    int64_t size = -1;
    int64_t modified = 0;
};

// One entry as the model keeps it: numbers only, its name in the model's name store (a million
// entries must not cost a million strings).
struct LocalEntry {
    int64_t size = -1;    // -1 for folders, volumes and ".."
    int64_t modified = 0; // seconds since 1970; 0 for volumes and ".."
    uint32_t name = 0;    // where the name starts in the name store
    uint16_t length : 13 = 0;      // the name on show, in UTF-16 units (at most kMaxNameUnits)
    uint16_t folder : 1 = 0;
    uint16_t lowerIsName : 1 = 0;  // the name is its own lower-case form, stored once
    uint16_t raw : 1 = 0;          // the name's bytes are not UTF-8: they follow in the store, one a unit
    uint16_t sortLength : 13 = 0;  // the lower-case form, which follows the name in the store
    mutable uint16_t marked : 1 = 0; // MarkRows
    mutable int icon = -1; // index into the model's icon table; -1 until first shown
    mutable int type = -1; // index into the model's type names; -1 until first looked up
};
static_assert(sizeof(LocalEntry) == 32);

// The names of a folder's entries, in chunks that never move: a view of a name stays valid
// until Clear. A name never spans two chunks.
class CLocalNameStore {
public:
    // Keeps a name (with its lower-case form and the bytes it came from when those cannot be
    // made again from it) and sets where it lies in entry.
    void Keep(LocalEntry& entry, QStringView name, QStringView lower, const QByteArray& raw);
    QStringView Name(const LocalEntry& entry) const { return {At(entry.name), entry.length}; }
    QStringView SortName(const LocalEntry& entry) const
    {
        return entry.lowerIsName ? Name(entry) : QStringView(At(entry.name) + entry.length, entry.sortLength);
    }
    QByteArray RawName(const LocalEntry& entry) const;
    size_t Units(const LocalEntry& entry) const;
    size_t UnitsUsed() const { return m_nUsed; }
    void Clear();

    static constexpr unsigned kChunkBits = 16;
    // The longest name kept (a file name has at most 255 bytes; a volume's is its label).
    static constexpr qsizetype kMaxNameUnits = 4096;

private:
    const char16_t* At(uint32_t at) const
    {
        return m_chunks.empty() ? u"" : m_chunks[at >> kChunkBits].get() + (at & ((1u << kChunkBits) - 1));
    }
    std::vector<std::unique_ptr<char16_t[]>> m_chunks;
    uint32_t m_nFill = 0; // units used in the last chunk
    size_t m_nUsed = 0;   // units used in all chunks
};

class CLocalListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { NameColumn = 0, SizeColumn, TypeColumn, TimeColumn, ColumnCount };
    enum Direction { Toggle = 0, Ascending = 1, Descending = 2 };

    explicit CLocalListModel(QObject* parent = nullptr);
    ~CLocalListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Starts over with no row: an empty folder (native bytes, ending in "/") means the volume list.
    void Clear(const QByteArray& folder);
    // Fills the volume list (after Clear with an empty folder), sorted as given.
    void ShowVolumes(const QList<LocalVolume>& volumes, int column, int direction);
    // Adds an entry that is not shown until Publish.
    void AddEntry(const FolderEntry& entry);
    void AddParentEntry();
    int EntryCount() const { return static_cast<int>(m_entries.size()); }
    // Shows every entry added since Clear, sorted once: PrepareRows sorts them out of sight,
    // ShowPreparedRows puts them on show. A large folder is sorted in steps between window
    // events instead: StartPreparingRows, then PrepareStep until it is true, then
    // ShowPreparedRows.
    void Publish(int column, int direction);
    void PrepareRows(int column, int direction);
    void StartPreparingRows(int column, int direction);
    bool PrepareStep(qint64 budgetNs);
    void ShowPreparedRows();
    // Every entry read so far on show in the order it was read (a large folder still being read).
    void ShowInReadOrder();
    // Sorts rows 1 and following; persistent indexes follow their entries.
    void Sort(int column, int direction);
    // The same in steps between window events: StartSorting, SortStep until it is true, then
    // ShowSorted moves the rows. Clear drops a sort under way, and so does a reconcile whose
    // rows change (StartFinishing true): its own sort orders them.
    void StartSorting(int column, int direction);
    bool SortStep(qint64 budgetNs);
    void ShowSorted();
    bool IsSorting() const { return m_pResort != nullptr; }
    // Marks the entries of rows first to last; TakeMarkedRows gives the rows the marked entries
    // have now (in ascending order), after any change of the rows, and clears the marks.
    void MarkRows(int first, int last);
    std::vector<int> TakeMarkedRows();
    // The indexes views hold on to through changes (a selection must not hold one a row).
    qsizetype HeldIndexCount() const { return persistentIndexList().size(); }
    // The folder on show read again, entry by entry (without ".."), against the rows on show:
    // BeginReconcile, then ReconcileEntry for each entry read, then FinishReconcile. Entries
    // still there keep their place in the table (and what was looked up for them) and take the
    // size, time and kind read now; new ones are added, gone ones leave; the rows are sorted
    // again. Persistent indexes (the selection, the current row) follow their entries; those of
    // gone entries become invalid. Only what changed is held meanwhile, so a large folder does
    // not exist twice in memory. FinishReconcile is false, with nothing signalled, when nothing
    // changed. Clear drops a reconcile in progress.
    //
    // A large folder is reconciled in steps between window events: after BeginReconcile,
    // IndexStep until it is true (the rows on show are indexed by name), then ReconcileEntry
    // for each entry read; then StartFinishing (false: nothing changed, nothing is left to do),
    // FinishStep until it is true (the new row order is sorted out of sight), and
    // ShowReconciled. The rows on show stay as they were until ShowReconciled; the sizes, times
    // and kinds read may show a little before their rows move.
    void BeginReconcile();
    bool IndexStep(qint64 budgetNs);
    void ReconcileEntry(const FolderEntry& entry);
    bool FinishReconcile(int column, int direction);
    bool StartFinishing(int column, int direction);
    bool FinishStep(qint64 budgetNs);
    void ShowReconciled();
    // The column and direction of the sort in steps under way (after StartPreparingRows or
    // StartFinishing); -1 when none is.
    int StagedSortColumn() const;
    int StagedSortDirection() const;
    // The rows on show are being indexed (after BeginReconcile, until IndexStep is true).
    bool IsIndexing() const { return m_nIndexed < m_entries.size(); }

    bool IsVolumeList() const { return m_folder.isEmpty(); }
    // The folder on show as native bytes and as text, ending in "/"; empty for the volume list.
    const QByteArray& FolderBytes() const { return m_folder; }
    QString CurrentFolder() const { return m_folderText; }

    const LocalEntry& EntryAt(int row) const { return m_entries[static_cast<size_t>(m_order[static_cast<size_t>(row)])]; }
    int EntryIndexAt(int row) const { return m_order[static_cast<size_t>(row)]; }
    // The row showing an entry; -1 when it is not shown.
    int RowOfEntry(int entryIndex) const;
    // The native path of a row's entry: a volume's folder, or the folder on show + the name.
    QByteArray PathBytes(int row) const;
    QByteArray NameBytes(const LocalEntry& entry) const;
    // An entry's name as shown, and in lower case (what sorting and matching compare).
    QStringView Name(const LocalEntry& entry) const { return m_names.Name(entry); }
    QStringView SortName(const LocalEntry& entry) const { return m_names.SortName(entry); }
    QString NameAt(int row) const { return Name(EntryAt(row)).toString(); }

    // The type name of an entry (path cache, then extension cache, then the MIME database; a
    // name nobody knows gets "XYZ-file" or "File").
    QString TypeName(const LocalEntry& entry) const;
    // The first row from start on (wrapping once) whose name begins with text, without regard
    // to case; -1 when there is none.
    int FindPrefix(const QString& text, int start) const;

    // Local time as "2024-05-01 13:07", the form of the remote pane.
    static QString TimeText(int64_t secondsSince1970);

    // Bound of the path cache; reaching it starts the cache afresh.
    static constexpr int kPathCacheLimit = 200000;
    int PathCacheSize() const { return static_cast<int>(m_typeByPath.size()); }
    // The name store is made anew once this many units of it belong to gone entries and they
    // are at least half of it.
    static constexpr size_t kCompactAfterUnits = size_t(1) << 20;
    size_t NameUnitsUsed() const { return m_names.UnitsUsed(); }

private:
    struct StagedSort; // a sort of the rows in steps (local_list_model.cpp)

    QIcon IconOf(const LocalEntry& entry) const;
    // An entry read from the disk, its name kept in the store.
    LocalEntry Keep(const FolderEntry& read);
    // A name of the store as the key of a reconcile: names whose bytes are not UTF-8 are keyed
    // by their bytes (marked, so that they never meet a real name).
    QString RawKey(const LocalEntry& entry) const;
    void RebuildRowIndex();
    void CompactNames();
    void IndexName(int entry);
    // The entry of that name not yet read again (not one whose bytes are not UTF-8); -1 when none.
    int FindUnseen(QStringView name) const;

    QByteArray m_folder;
    QString m_folderText;
    std::vector<LocalEntry> m_entries;
    CLocalNameStore m_names;
    size_t m_nGoneUnits = 0; // units of the store no entry uses any more
    std::vector<int> m_order;
    std::vector<int> m_prepared;            // the next row order, sorted but not yet on show
    std::vector<QByteArray> m_volumePaths; // per entry, volume list only
    std::vector<int> m_rowOfEntry;          // inverse of m_order, rebuilt after each sort
    // A reconcile in progress: entries by name, which were read again, what changed, what is new.
    struct Update {
        int entry;
        bool folder;
        int64_t size;
        int64_t modified;
    };
    std::vector<int> m_reconcileSlots;        // IndexName: entry + 1 per used slot
    QHash<QString, int> m_rawIndex;           // the entries whose names are not UTF-8
    size_t m_nIndexed = SIZE_MAX;           // entries indexed so far (IndexStep); SIZE_MAX: none to index
    std::vector<char> m_seen;
    std::vector<Update> m_updates;
    std::vector<LocalEntry> m_added;
    std::unique_ptr<StagedSort> m_pPrepare; // the first read's rows being sorted in steps
    std::unique_ptr<StagedSort> m_pFinish;  // a reconcile's new row order being sorted in steps
    std::unique_ptr<StagedSort> m_pResort;  // the rows on show being sorted in steps
    // Remembers type for the entry (its index in the table of type names) and returns it.
    const QString& KeepType(const LocalEntry& entry, const QString& type) const;

    mutable QStringList m_typeNames; // every type name an entry was given, once
    mutable QHash<QString, int> m_typeIndex;
    mutable QHash<QString, QString> m_typeByPath;
    mutable QHash<QString, QString> m_typeByExtension;
    mutable QVector<QIcon> m_icons;
    mutable QHash<QString, int> m_iconByKey;
};
