#pragma once
// The packaging log: one row per line, with the local time it was added.

#include <QAbstractTableModel>
#include <QDateTime>
#include <QTreeView>

class CDRMLogModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void Append(const QString& text, const QString& time);

private:
    struct Line {
        QString text, time;
    };
    QList<Line> m_lines;
};

class CDRMLog final : public QTreeView {
    Q_OBJECT
public:
    explicit CDRMLog(QWidget* parent = nullptr);
    // Appends the text with the current time, then shows the first selected row, or the new
    // row when none is selected.
    void Add(const QString& text);
    void Add(const QString& text, const QDateTime& when);
    CDRMLogModel* Model() const { return m_model; }
    // "[year/month/day  hour:minute:second]" without leading zeros.
    static QString TimeText(const QDateTime& when);

private:
    CDRMLogModel* m_model;
};
