#pragma once
// The media browser: the volumes under "내컴퓨터", or one folder's entries, with a location
// combo box that keeps every location shown. Double-click opens a folder or volume.

#include <QAbstractTableModel>
#include <QDateTime>
#include <QIcon>
#include <QTreeView>

#include "drm/drm_volumes.h"

class QComboBox;

class CDRMOriginalModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kItemDataRole = Qt::UserRole + 1; // 1 folder or volume, 2 file
    static constexpr int kNameRole = Qt::UserRole + 2;

    struct Entry {
        QString name;     // file or folder name; for a volume, its root
        QString type;
        qint64 size = -1; // bytes; -1 for a folder; for a volume, total in units of 1000 bytes
        qint64 free = 0;  // for a volume, units of 1000 bytes
        QDateTime modified;
        QIcon icon;
        int itemData = 1;
    };

    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void ShowVolumes(const QList<DrmVolume>& volumes);
    // False when the folder cannot be read (the list is then empty).
    bool ShowFolder(const QString& path);
    bool ShowingVolumes() const { return m_volumes; }
    const Entry& EntryAt(int row) const { return m_entries[row]; }

private:
    QList<Entry> m_entries;
    bool m_volumes = true;
};

class CDRMOriginal final : public QTreeView {
    Q_OBJECT
public:
    // The combo box is the pane's; the browser fills it and follows its choice.
    explicit CDRMOriginal(QComboBox* location, QWidget* parent = nullptr);

    void ShowDrives();
    void ShowFolder(const QString& path);
    // The current location: "내컴퓨터" or a folder path.
    QString Location() const { return m_location; }
    // Full paths of the selected rows in row order, each with whether it is a folder.
    QList<QPair<QString, bool>> SelectedPaths() const;
    CDRMOriginalModel* Model() const { return m_model; }
    // Opens the row as double-click does (folders and volumes only).
    void OpenRow(int row);

private:
    void FillCombo();
    void Remember(const QString& location);
    void OnComboActivated(int index);

    CDRMOriginalModel* m_model;
    QComboBox* m_combo;
    QString m_location;
};
