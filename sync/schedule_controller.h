#pragma once
// CScheduleController: the schedule's part of the window. It owns the one schedule record for
// the life of the window, runs the two commands ("스케줄 설정": the dialog, then the schedule
// page comes to the front; "스케줄 취소": the record is reset and the schedule stops) and makes
// the scheduled run: when nothing waits for upload it looks for a file under the source folder
// and, when there is one, queues the whole folder for the target.

#include "protocol/upload_request.h"
#include "sync/schedule_info.h"

#include <QObject>
#include <QPointer>

#include <functional>

class CFlatTabView;
class CScheduleView;
class QWidget;

class CScheduleController : public QObject {
    Q_OBJECT
public:
    using IsIdle = std::function<bool()>;
    using AddOrder = std::function<void(talvex::CUploadOrder order)>;
    // The dialog on the record; true on OK. Tests replace it.
    using ShowDialog = std::function<bool(CScheduleInfo& info, QWidget* parent)>;

    // queueEmpty: whether the upload queue holds nothing; addOrder: hands an order to it.
    CScheduleController(CScheduleView& view, CFlatTabView& tabs, IsIdle queueEmpty, AddOrder addOrder,
                        QWidget* window);
    ~CScheduleController() override;

    CScheduleInfo& Info() { return m_info; }
    bool IsActive() const { return m_info.active; }
    CScheduleView& View() const { return *m_pView; }

    // Whether the progress pane holds nothing; until it is set only the queue is asked.
    void SetProgressEmpty(IsIdle progressEmpty) { m_progressEmpty = std::move(progressEmpty); }
    // Whether a session takes uploads now; until it is set the window is taken as connected.
    void SetOnline(IsIdle online) { m_online = std::move(online); }
    void SetDialog(ShowDialog dialog) { m_dialog = std::move(dialog); }

    // "스케줄 설정" and "스케줄 취소".
    void Edit();
    void Cancel();
    // The scheduled run: skipped with a log line without a session or while uploads are
    // pending; otherwise one folder order when the source holds a file.
    void RunScheduledSync();

    // Whether the folder holds a file anywhere below it (folders are entered depth first, links
    // to folders are not followed, the walk ends at the first file).
    static bool HasAnyFile(const QString& folder);

private:
    CScheduleInfo m_info;
    QPointer<CScheduleView> m_pView;
    CFlatTabView& m_tabs;
    IsIdle m_queueEmpty;
    IsIdle m_progressEmpty;
    IsIdle m_online;
    AddOrder m_addOrder;
    ShowDialog m_dialog;
    QWidget* m_pWindow;
};
