#pragma once
// CRemoteListModel: the rows of the remote pane. Column 0 icon and name, 1 size text,
// 2 type name, 3 modification time. Qt::UserRole gives the row's item data: 1 for a folder
// (the ".." row included), 0 for a file.

#include "protocol/records.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QVector>

class CRemoteListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { NameColumn = 0, SizeColumn, TypeColumn, TimeColumn, ColumnCount };
    static constexpr int FolderRole = Qt::UserRole;

    struct Row {
        QString name;
        QString sizeText;
        QString typeName;
        QString timeText;
        bool folder = false;
        bool parent = false; // the ".." row
        QIcon icon;
    };

    explicit CRemoteListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Replaces every row: a ".." row first when withParentRow, then one row per entry in
    // listing order. The type name of each entry is stored in its texts[0].
    void Fill(talvex::CRemoteEntryList& entries, bool withParentRow, bool detailSize);
    void Append(Row row);
    void RemoveAt(int row);
    void SetNameAt(int row, const QString& name);
    // The first row whose name equals name without regard to case; -1 when there is none.
    int FindName(const QString& name) const;
    const Row& At(int row) const { return m_rows.at(row); }

    // Rows as the shell would describe them: by name only, nothing is read from a disk.
    static Row FolderRow(const QString& name);
    static Row FileRow(const QString& name);
    // "2024-05-01 13:07", as the local pane shows times; empty for a date that cannot be read.
    static QString TimeText(const talvex::OleDate& date);
    // The time of a row added here (a new folder, an uploaded file): now, in the same form.
    static QString NowText();

private:
    QVector<Row> m_rows;
};
