#pragma once
// CQueueModel: the rows of the upload queue. Each row is one request on its way: waiting,
// running on a channel (with its latest progress), or failed with its reason. Column 0 the
// local path, 1 the size text, 2 the state (a progress bar while a transfer reports a
// percent), 3 the size sent and the speed.

#include "protocol/records.h"

#include <QAbstractTableModel>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

// Texts of the queue's columns and of the status bar totals.
QString QueueSizeText(int64_t size);          // "???" when unknown, else bytes, KB or MB
QString QueueSpeedText(int64_t bytesPerSecond); // "800 ", "1.4 K", "2.5 M"
QString QueueSentText(const talvex::CUploadProgress& progress); // "%s (%sB/s)", empty without speed
QString TotalSizeText(int64_t size);          // "파일크기 : ..." in bytes, KB or MB

class CQueueModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { PathColumn = 0, SizeColumn, StatusColumn, SentColumn, ColumnCount };
    // Qt::UserRole on the status column: the percent to draw as a bar, or nothing.
    static constexpr int PercentRole = Qt::UserRole;

    enum State { Waiting = 0, Running = 1, Done = 2, SendFailed = 5, ReadError = 6, Cancelled = 7 };

    struct Item {
        std::shared_ptr<talvex::CUploadRequest> request;
        std::optional<talvex::CUploadProgress> progress;
        uint32_t channel = 0; // the channel's message number while running
        State state = Waiting;
        QString statusText;
        QString sizeText;
    };

    explicit CQueueModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Adds waiting rows at the end.
    void Append(const std::vector<std::shared_ptr<talvex::CUploadRequest>>& requests);
    void Remove(int row);
    void Clear();

    const Item& At(int row) const { return m_items.at(static_cast<size_t>(row)); }
    // The row of a request, or -1.
    int RowOf(const talvex::CUploadRequest* request) const;
    // The row running on a channel, or -1.
    int RunningOn(uint32_t channel) const;
    // Rows that are not failed: the visible-row limit counts these.
    int ActiveRows() const { return m_nActive; }

    void SetRunning(int row, uint32_t channel);
    void SetProgress(int row, const talvex::CUploadProgress& progress);
    // Ends a transfer: the row leaves the channel, with its state and status text.
    void SetEnded(int row, State state, const QString& statusText);

private:
    void Changed(int row, int firstColumn, int lastColumn);
    static bool IsFailed(State state) { return state == SendFailed || state == ReadError || state == Cancelled; }

    std::vector<Item> m_items;
    int m_nActive = 0;
};
