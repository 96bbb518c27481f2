#pragma once
// CQueueView: the upload queue's page (tab 0): the list CQueueCtrl over the queue's rows, its
// context menu ("삭제", "전송취소"), the Delete key and Ctrl+A. The rows and what the commands
// do belong to the queue (sync/upload_queue.h); the view only shows and asks.

#include <QTreeView>
#include <QWidget>

class QAction;
class CUploadQueue;

class CQueueCtrl : public QTreeView {
    Q_OBJECT
public:
    explicit CQueueCtrl(QWidget* parent = nullptr);

signals:
    void deletePressed();
    void menuRequested(const QPoint& globalPos);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
};

class CQueueView : public QWidget {
    Q_OBJECT
public:
    CQueueView(CUploadQueue& queue, QWidget* parent = nullptr);

    CQueueCtrl* List() const { return m_pList; }
    QAction* DeleteAction() const { return m_pDelete; }
    QAction* CancelAction() const { return m_pCancel; }
    // The gray rules: "삭제" needs rows and no running row selected; "전송취소" needs rows.
    void UpdateActions();
    void DeleteSelected();
    void ShowContextMenu(const QPoint& globalPos);

private:
    CUploadQueue& m_queue;
    CQueueCtrl* m_pList;
    QAction* m_pDelete;
    QAction* m_pCancel;
};
