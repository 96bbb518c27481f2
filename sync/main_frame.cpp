#include "res/accessible_texts.h"
#include "sync/main_frame.h"

#include "app/about_dlg.h"
#include "app/client_session.h"
#include "app/desktop_notifier.h"
#include "app/keyring_store.h"
#include "app/prompt.h"
#include "app/registry_key.h"
#include "platform/plugin_dirs.h"
#include "panes/flat_tab_view.h"
#include "panes/local_view.h"
#include "panes/paint_pacer.h"
#include "panes/remote_view.h"
#include "panes/result_views.h"
#include "panes/upload_drop.h"
#include "res/menu_resource.h"
#include "res/string_table.h"
#include "sync/command_table.h"
#include "sync/frame_local_host.h"
#include "sync/frame_login.h"
#include "sync/frame_notices.h"
#include "sync/job_progress.h"
#include "sync/plugin_hooks.h"
#include "sync/remote_ops.h"
#include "sync/status_panes.h"
#include "sync/result_panes.h"
#include "sync/schedule_controller.h"
#include "sync/schedule_view.h"
#include "sync/option_dlg.h"
#include "sync/queue_view.h"
#include "sync/sync_job.h"
#include "sync/upload_queue.h"
#include "sync/window_layout.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

using namespace talvex;


CMainFrame::CMainFrame(QWidget* parent)
    : QMainWindow(parent), m_pPlugins(std::make_unique<CPluginHooks>()),
      m_pProgress(std::make_unique<CJobProgress>(this)),
      m_pSession(std::make_unique<CClientSession>(DeploymentSettings::Load()))
{
    setObjectName(QStringLiteral("Talvex Class"));
    setWindowTitle(Str(194));
    resize(1000, 720);
    m_pPlugins->Load(PluginDirs(QCoreApplication::applicationDirPath().toStdString()));
    m_pDesktop = std::make_unique<CFrameDesktop>(*this, *m_pSession, [this](const QString& text) {
        if (m_pStatus)
            m_pStatus->Pane(0)->setText(text);
    });
    m_dialogs = DefaultFrameDialogs(this, &m_pDesktop->Keyring());

    m_bManualSyncOffered = UploadOptions::Load().manualSync;
    CreateActions();
    m_pStatus = std::make_unique<CStatusPanes>(*statusBar());
    statusBar()->setAccessibleName(QString::fromUtf8(talvex::kAccStatusBar));
    CreateClientArea();
    CreateOperations();
    m_pDesktop->StartNotices(*m_pQueue); // before ConnectSession: a lost connection is told before its box
    connect(m_pDesktop.get(), &CFrameDesktop::pageRequested, this, [this](int page) {
        BringToFront();
        if (page >= 0)
            m_pTabView->SelectPage(page);
    });
    ConnectSession();
    ShowTotals();

    // Detailed sizes are on only when the stored value is exactly "Detail".
    CRegistryKey key;
    QString value;
    if (key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey))
        && key.ReadString(QString::fromLatin1(kValueFileSize), value) && value == QLatin1String(kFileSizeDetail))
        m_bDetailSize = true;

    SetStatus(-1);
    UpdateCommandUI();
    RestoreLayout();
    new CPaintPacer(*this);
}

// The operations go before the session they listen to; the session joins its workers.
CMainFrame::~CMainFrame() = default;

void CMainFrame::CreateOperations()
{
    m_pRemoteOps = std::make_unique<CRemoteOps>(*m_pSession, *m_pRemoteView, *m_pPlugins, *m_pProgress, this);
    m_pSyncJob = std::make_unique<CSyncJob>(*m_pSession, *m_pProgress, m_dialogs, this);
    connect(m_pRemoteOps.get(), &CRemoteOps::statusChanged, this, &CMainFrame::SetStatus);
    connect(m_pSyncJob.get(), &CSyncJob::statusChanged, this, &CMainFrame::SetStatus);
    m_pResults = std::make_unique<CResultPanes>(*m_pSession, *m_pQueue, *m_pSyncJob, *m_pRemoteView, *m_pPlugins,
                                                *m_pTabView, [this](auto orders) { AddUploadOrders(std::move(orders)); });
    connect(m_pResults.get(), &CResultPanes::statusChanged, this, &CMainFrame::SetStatus);
    connect(m_pResults.get(), &CResultPanes::messageChanged, this, [this](const QString& text) { m_pStatus->Pane(0)->setText(text); });
    // A scheduled upload waits until nothing is left waiting for its confirmation either.
    m_pSchedule->SetProgressEmpty([this] { return m_pResults->IsProgressEmpty(); });
    connect(m_pSyncJob.get(), &CSyncJob::manualSyncFinished, this, [this] {
        if (!m_pSession->IsSyncService())
            m_pQueue->ResetTotals();
    });
    CUploadQueue* queue = m_pQueue.get();
    connect(queue, &CUploadQueue::statusChanged, this, &CMainFrame::SetStatus);
    connect(queue, &CUploadQueue::totalsChanged, this, &CMainFrame::ShowTotals);
    connect(queue, &CUploadQueue::messageChanged, this, [this](const QString& text) { m_pStatus->Pane(0)->setText(text); });
    connect(queue, &CUploadQueue::journalProblem, this, [this](const QString& text) {
        m_pStatus->Pane(0)->setText(text);
        ShowMessageText(this, text, PromptIcon::Warning);
    });
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(&queue->Model(), signal, this, &CMainFrame::UpdateCommandUI);
    connect(&queue->Model(), &QAbstractItemModel::modelReset, this, &CMainFrame::UpdateCommandUI);
}

void CMainFrame::CreateActions()
{
    m_pCommands = new CCommandTable(*this);
    connect(m_pCommands, &CCommandTable::ran, this, &CMainFrame::UpdateCommandUI);
    // F5 in the local pane refreshes that pane (it takes the key first).
    Action(ID_REFRESH)->setShortcut(QKeySequence(Qt::Key_F5));
    // The main flows without the mouse: log in, the account book, a search.
    Action(ID_CONNECT)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    Action(ID_USER_MANAGER)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    Action(ID_FIND_FILE)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    Action(ID_DETAIL_SIZE)->setCheckable(true);

    Bind(ID_APP_EXIT, {[this] { close(); }, {}, {}});
    Bind(ID_APP_ABOUT, {[this] { OnAbout(); }, {}, {}});
    auto idle = [this] { return !m_pSession->IsBusy() && !m_pReconnect->IsActive(); };
    auto connected = [this] { return IsConnected(); };
    auto noJob = [this] {
        return IsConnected() && !m_pSyncJob->IsBusy() && !m_pRemoteOps->IsRenamePending() && m_pQueue->IsEmpty();
    };
    Bind(ID_CONNECT, {[this] { m_pLogin->ShowLogin(); }, idle, {}});
    Bind(ID_USER_MANAGER, {[this] { m_pLogin->ShowManager(); }, idle, {}});
    // Disconnect also stops the attempts of a reconnect.
    Bind(ID_DISCONNECT, {[this] { OnDisconnect(); }, [this] { return IsConnected() || m_pReconnect->IsActive(); }, {}});
    Bind(ID_REFRESH, {[this] { RefreshRemote(); }, connected, {}});
    Bind(ID_MANUAL_SYNC,
         {[this] { m_pSyncJob->StartManualSync(); },
          [this, noJob] { return !m_pSession->IsSyncService() && m_bManualSyncOffered && noJob(); }, {}});
    Bind(ID_CHECK_SYNC_ALL, {[this] { m_pSyncJob->StartCheckAll(); }, noJob, {}});
    Bind(ID_FIND_FILE, {[this] { m_pResults->Find(); }, connected, {}});
    Bind(ID_DETAIL_SIZE, {[this] { OnDetailSize(); }, connected, [this] { return m_bDetailSize; }});
    Bind(ID_OPTIONS, {[this] { OnOptions(); }, {}, {}});
    Bind(ID_SCHEDULE_SET, {[this] { m_pSchedule->Edit(); }, [this] { return m_pSession->IsSyncService(); }, {}});
    Bind(ID_SCHEDULE_CANCEL, {[this] { m_pSchedule->Cancel(); }, [this] { return m_pSchedule && m_pSchedule->IsActive(); }, {}});
}

void CMainFrame::ShowTotals()
{
    const QStringList texts = m_pQueue->TotalsTexts();
    for (int i = 0; i < texts.size(); ++i)
        m_pStatus->Pane(2 + i)->setText(texts[i]);
}

void CMainFrame::OnOptions()
{
    if (const auto options = COptionDlg::Edit(this, *m_pSession))
        m_bManualSyncOffered = options->manualSync; // the command table refreshes the states after this
}

void CMainFrame::CreateClientArea()
{
    m_wndSplitter = new QSplitter(Qt::Vertical, this);
    m_wndSplitterTop = new QSplitter(Qt::Horizontal, m_wndSplitter);
    m_pLocalHost = std::make_unique<CFrameLocalHost>(*this);
    m_pLocalView = new CLocalView(*m_pLocalHost, m_wndSplitterTop);
    m_pRemoteView = new CRemoteView(*this, m_wndSplitterTop);
    InstallRemoteDropTarget(*m_pRemoteView, *m_pLocalView->List());
    connect(this, &CMainFrame::listingArrived, m_pRemoteView,
            [this](const CRemoteEntryList& entries) { m_pRemoteView->ShowListing(entries); });
    m_pTabView = new CFlatTabView(false, m_wndSplitter);
    m_pQueue = std::make_unique<CUploadQueue>(*m_pSession);
    m_pQueueView = new CQueueView(*m_pQueue);
    m_pTabView->SetPage(CFlatTabView::QueuePage, m_pQueueView);
    InstallUploadDropTarget(*m_pQueueView->List(), *m_pLocalView->List());
    auto* scheduleView = new CScheduleView;
    m_pTabView->SetPage(CFlatTabView::SchedulePage, scheduleView);
    m_pSchedule = std::make_unique<CScheduleController>(
        *scheduleView, *m_pTabView, [this] { return m_pQueue->IsIdle(); },
        [this](CUploadOrder order) {
            AddUploadOrders({std::move(order)});
            m_pDesktop->Notices().ScheduledRunQueued();
        },
        this);
    m_pSchedule->SetOnline([this] { return m_pQueue->IsStarted(); });
    m_wndSplitter->addWidget(m_wndSplitterTop);
    m_wndSplitter->addWidget(m_pTabView);
    m_wndSplitter->setStretchFactor(0, 1);
    m_wndSplitter->setStretchFactor(1, 0);
    setCentralWidget(m_wndSplitter);
}

void CMainFrame::AddUploadOrders(std::vector<CUploadOrder> orders)
{
    // Without a session nothing is queued: orders kept until the next login would go to
    // whichever account logs in then.
    if (!m_pQueue->IsStarted())
        return;
    for (CUploadOrder& order : orders)
        m_pQueue->Add(std::move(order));
    UpdateCommandUI();
}

void CMainFrame::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_bLaidOut)
        return;
    m_bLaidOut = true;
    QTimer::singleShot(0, this, [this] { m_pLayout->RestoreSplitters(); });
}

void CMainFrame::RestoreLayout()
{
    CWindowLayout::Parts parts;
    parts.window = this;
    parts.main = m_wndSplitter;
    parts.top = m_wndSplitterTop;
    parts.local = m_pLocalView->List();
    auto add = [&parts](const char* name, QAbstractItemView* list) { parts.lists.append({QString::fromLatin1(name), list}); };
    add("LocalList", m_pLocalView->List());
    add("RemoteList", m_pRemoteView->List());
    add("QueueList", m_pQueueView->List());
    add("ProgressList", m_pResults->ProcessView()->List());
    add("CompleteList", m_pResults->CompleteView()->List());
    add("FailList", m_pResults->FailView()->List());
    add("FindList", m_pResults->FindView()->List());
    add("ScheduleLog", m_pSchedule->View().LogList());
    m_pLayout = std::make_unique<CWindowLayout>(std::move(parts));
}

void CMainFrame::SaveLayout()
{
    if (m_pLayout)
        m_pLayout->Save();
}

QLabel* CMainFrame::StatusPane(int index) const { return m_pStatus->Pane(index); }

void CMainFrame::SetStatus(int kind) { m_pStatus->SetState(kind); }

QString CMainFrame::StatusText() const { return m_pStatus->StateText(); }

void CMainFrame::UpdateCommandUI()
{
    m_pCommands->Update();
    if (m_pRemoteView)
        m_pRemoteView->UpdateActions();
}

void CMainFrame::OnAbout()
{
    CAboutDlg dlg(this);
    dlg.exec();
}

void CMainFrame::BringToFront()
{
    if (isMinimized())
        showNormal();
    show();
    raise();
    activateWindow();
    emit raised();
}

void CMainFrame::OnDetailSize()
{
    m_bDetailSize = !m_bDetailSize;
    RefreshRemote(); // the listing draws the sizes anew
    // The key is opened, never created here: without it the choice lasts for this run only.
    CRegistryKey key;
    if (key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey))) {
        if (m_bDetailSize)
            key.WriteString(QString::fromLatin1(kValueFileSize), QString::fromLatin1(kFileSizeDetail));
        else
            key.DeleteValue(QString::fromLatin1(kValueFileSize));
    }
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    // The window's close button keeps the program in the tray when the user chose so; "끝내기",
    // the tray's "끝내기" and the paths that end the program (close() itself) end it.
    if (event->spontaneous() && m_pDesktop->KeepsRunningInTray()) {
        SaveLayout();
        hide();
        event->ignore();
        return;
    }
    // The workers are told to quit (the control session logs out first).
    m_bClosing = true;
    SaveLayout();
    m_pSyncJob->Reset();
    m_pQueue->Stop();
    m_pSession->Close();
    event->accept();
}

QString CMainFrame::SyncResultFile() { return CSyncJob::ResultFile(); }

CStartSyncDlg* CMainFrame::ProgressDialog() const { return m_pProgress->Dialog(); }

QAction* CMainFrame::Action(unsigned commandId) const { return m_pCommands->Action(commandId); }
