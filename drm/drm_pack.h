#pragma once
// The packaging target list: the full path of each file, its status and, once packaged, its
// size; the row's state decides its image. Each target keeps, from the moment it is added,
// the place below the target folder where its output goes.

#include "drm/protect/packaging_worker.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QTreeView>

#include <vector>

// The four status images: waiting, working, done, failed.
QIcon DrmStatusImage(int image);

class CDRMPackModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kColumnPath, kColumnStatus, kColumnSize, kColumnCount };
    static constexpr int kStateRole = Qt::UserRole + 1;
    static constexpr int kOutputRole = Qt::UserRole + 2;

    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Appends a waiting target. relativeOutput is its place below the target folder; when
    // another file of the list already goes there, the new one gets "_[n]" before its extension.
    // Returns the target's id.
    uint64_t Add(const QString& path, const QString& relativeOutput);
    // The waiting targets not yet handed to a worker, now handed: their jobs, outputs below root.
    std::vector<talvex::drm::PackJob> TakeWaitingJobs(const QString& targetRoot);
    // Targets a stopped worker gave back wait for the next start again.
    void ReturnJobs(const std::vector<uint64_t>& ids);
    void SetTaken(uint64_t id);
    // outcome as the packaging worker reports it; size -1 when there is none.
    void SetDone(uint64_t id, int outcome, int64_t size);
    void RemoveAll();
    int RowOf(uint64_t id) const;
    QString PathOf(uint64_t id) const;
    QString RelativeOutput(int row) const { return m_rows.value(row).relativeOutput; }
    int StateAt(int row) const { return m_rows.value(row).state; }

private:
    struct Target {
        uint64_t id = 0;
        QString path, relativeOutput, status, size;
        int state = 0;
        bool handedOut = false;
    };
    QList<Target> m_rows;
    uint64_t m_nextId = 1;
};

class CDRMPack final : public QTreeView {
    Q_OBJECT
public:
    explicit CDRMPack(QWidget* parent = nullptr);
    CDRMPackModel* Model() const { return m_model; }
    void ScrollToTarget(uint64_t id);

private:
    CDRMPackModel* m_model;
};
