#include "res/accessible_texts.h"
#include "drm/drm_view.h"

#include "drm/media_walker.h"

#include "app/prompt.h"
#include "drm/drm_log.h"
#include "drm/drm_original.h"
#include "drm/drm_pack.h"
#include "platform/log.h"
#include "platform/workdir.h"
#include "protocol/webcheck.h"
#include "res/string_table.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QVBoxLayout>

#include <atomic>

using namespace talvex;

namespace {


QString Text(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

} // namespace

// Hands the worker's reports to the window thread; the pane outlives every report because
// it joins the worker before it goes.
class CDRMView::Sink final : public drm::IPackagingSink {
public:
    explicit Sink(CDRMView* view) : m_view(view) {}
    void OnTaken(uint64_t id) override
    {
        QMetaObject::invokeMethod(m_view, [v = m_view, id] { v->OnTaken(id); }, Qt::QueuedConnection);
    }
    void OnDone(uint64_t id, int outcome, int64_t size) override
    {
        QMetaObject::invokeMethod(
            m_view, [v = m_view, id, outcome, size] { v->OnDone(id, outcome, size); }, Qt::QueuedConnection);
    }
    void OnFinished(const std::vector<uint64_t>& notTaken) override
    {
        QMetaObject::invokeMethod(m_view, [v = m_view, notTaken] { v->OnFinished(notTaken); }, Qt::QueuedConnection);
    }

private:
    CDRMView* m_view;
};

// Shared by the pane and its authentication thread: the thread posts its answer only while
// the pane is there.
struct CDRMView::AuthGuard {
    std::mutex mutex;
    CDRMView* view = nullptr;
    std::atomic<bool> done{false};
};

CDRMView::CDRMView(const DrmSetupParams& params, QWidget* parent) : QWidget(parent), m_setup(params)
{
    m_targetRoot = params.targetRoot.isEmpty() ? QString::fromStdString(UserDataDir()) + QStringLiteral("drm")
                                               : params.targetRoot;
    m_picker = [](QWidget* parent, const QString& title, const QString& start) {
        return QFileDialog::getExistingDirectory(parent, title, start);
    };

    m_location = new QComboBox(this);
    m_browser = new CDRMOriginal(m_location, this);
    m_targets = new CDRMPack(this);
    m_log = new CDRMLog(this);
    m_targetField = new QLineEdit(m_targetRoot, this);
    m_targetField->setReadOnly(true); // the folder comes from "..." only
    m_add = new QPushButton(Text(kTextDrmAdd), this);
    m_browse = new QPushButton(Text(kTextDrmBrowse), this);
    m_start = new QPushButton(Text(kTextDrmStart), this);
    m_stop = new QPushButton(Text(kTextDrmStop), this);
    m_location->setAccessibleName(QString::fromUtf8(talvex::kAccDrmLocation));
    m_location->view()->setAccessibleName(QString::fromUtf8(talvex::kAccDrmLocation));
    m_browser->setAccessibleName(QString::fromUtf8(talvex::kAccDrmSource));
    m_targets->setAccessibleName(QString::fromUtf8(talvex::kAccDrmTargets));
    m_log->setAccessibleName(QString::fromUtf8(talvex::kAccDrmLog));
    m_targetField->setAccessibleName(QString::fromUtf8(talvex::kAccDrmFolder));
    m_add->setAccessibleName(QString::fromUtf8(talvex::kAccDrmAdd));
    m_browse->setAccessibleName(QString::fromUtf8(talvex::kAccDrmBrowse));
    m_add->setFixedWidth(40);
    m_browse->setFixedWidth(30);

    auto* left = new QWidget(this);
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->addWidget(m_location);
    leftLayout->addWidget(m_browser, 1);

    auto* middle = new QVBoxLayout;
    middle->addStretch(1);
    middle->addWidget(m_add);
    middle->addStretch(1);

    auto* right = new QWidget(this);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    auto* targetRow = new QHBoxLayout;
    targetRow->addWidget(m_targetField, 1);
    targetRow->addWidget(m_browse);
    targetRow->addWidget(m_start);
    targetRow->addWidget(m_stop);
    rightLayout->addLayout(targetRow);
    rightLayout->addWidget(m_targets, 1);

    auto* top = new QWidget(this);
    auto* topLayout = new QHBoxLayout(top);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->addWidget(left, 1);
    topLayout->addLayout(middle);
    topLayout->addWidget(right, 1);

    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(top);
    split->addWidget(m_log);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(split);

    connect(m_add, &QPushButton::clicked, this, &CDRMView::AddSelection);
    connect(m_browse, &QPushButton::clicked, this, &CDRMView::BrowseTarget);
    connect(m_start, &QPushButton::clicked, this, &CDRMView::Start);
    connect(m_stop, &QPushButton::clicked, this, &CDRMView::Stop);

    m_sink = std::make_unique<Sink>(this);
    m_worker = std::make_unique<drm::PackagingWorker>([this](drm::PackJob& job) { return PackOne(job); }, *m_sink);
}

CDRMView::~CDRMView()
{
    // The worker finishes the file in hand and ends; nothing is killed.
    m_worker->RequestStop();
    m_worker.reset();
    if (m_auth) {
        {
            std::lock_guard lock(m_auth->mutex);
            m_auth->view = nullptr;
        }
        // A fetch still waiting for the server ends within its timeout on its own.
        if (m_authThread.joinable()) {
            if (m_auth->done)
                m_authThread.join();
            else
                m_authThread.detach();
        }
    }
}

int CDRMView::Setup()
{
    if (m_keys && m_header && m_protector)
        return 0; // set up already; a worker may be using the objects
    drm::IDrmFactory* factory = m_setup.factory.get();
    std::unique_ptr<drm::IDrmFactory> own;
    if (!factory) {
        own = drm::CreateOpenSslFactory();
        factory = own.get();
    }
    m_keys = factory->CreateKeyGenerator();
    if (!m_keys) {
        ShowMessageText(this, Text(kTextDrmKeyFailed), PromptIcon::Error);
        return -1;
    }
    m_header = factory->CreateHeader();
    if (!m_header) {
        ShowMessageText(this, Text(kTextDrmHeaderFailed), PromptIcon::Error);
        return -1;
    }
    m_protector = factory->CreateProtector();
    if (!m_protector) {
        ShowMessageText(this, Text(kTextDrmProtectFailed), PromptIcon::Error);
        return -1;
    }
    if (m_auth)
        return 0; // asked already

    m_auth = std::make_shared<AuthGuard>();
    m_auth->view = this;
    DrmAuthRequest request{m_setup.drmWebHost.toStdString(), m_setup.drmWebPort, m_setup.drmId.toStdString(),
                           m_setup.drmPass.toStdString(), m_setup.authTimeoutSeconds};
    m_authThread = std::thread([guard = m_auth, request = std::move(request)] {
        const DrmAuthResult result = RunDrmAuth(request);
        const drm::PackagingParams p{result.params.fileName, result.params.cpCode, result.params.seed,
                                     result.params.keyId,    result.params.priKey, result.params.pubKey,
                                     result.params.contentId, result.params.genUrl};
        {
            std::lock_guard lock(guard->mutex);
            if (CDRMView* view = guard->view)
                QMetaObject::invokeMethod(
                    view, [view, ok = result.ok, p] { view->OnAuthAnswer(ok, p); }, Qt::QueuedConnection);
        }
        guard->done = true;
    });
    return 0;
}

void CDRMView::OnAuthAnswer(bool ok, const drm::PackagingParams& params)
{
    if (m_authThread.joinable() && m_auth && m_auth->done)
        m_authThread.join();
    m_authenticated = ok;
    m_params = ok ? params : drm::PackagingParams{};
    if (!ok)
        ShowMessageText(this, Text(kTextDrmAuthFailed), PromptIcon::Error);
    emit setupFinished(ok);
}

void CDRMView::SetTargetRoot(const QString& folder)
{
    m_targetRoot = folder;
    m_targetField->setText(folder);
}

void CDRMView::BrowseTarget()
{
    const QString chosen = m_picker(this, Text(kTextBrowseFolderTitle), m_targetRoot);
    if (!chosen.isEmpty())
        SetTargetRoot(QDir::cleanPath(chosen));
}

void CDRMView::AddSelection()
{
    for (const auto& [path, isFolder] : m_browser->SelectedPaths())
        AddPath(path, isFolder);
    m_targetField->setText(m_targetRoot);
}

void CDRMView::AddPath(const QString& path, bool isFolder)
{
    if (!m_walker) {
        // The walker's thread hands its finds over through this object's event queue, which
        // keeps them in order and drops them if the pane goes first.
        m_walker = std::make_unique<CMediaWalker>(
            [this](std::vector<MediaTarget> batch) {
                QMetaObject::invokeMethod(
                    this,
                    [this, batch = std::move(batch)] {
                        for (const MediaTarget& target : batch)
                            m_targets->Model()->Add(target.path, target.relativePath);
                    },
                    Qt::QueuedConnection);
            },
            [this] { QMetaObject::invokeMethod(this, [this] { --m_nCollecting; }, Qt::QueuedConnection); });
    }
    ++m_nCollecting;
    m_walker->Add(path, isFolder);
}

bool CDRMView::Packaging() const
{
    return m_worker->Running();
}

void CDRMView::Start()
{
    CDRMPackModel* model = m_targets->Model();
    std::vector<drm::PackJob> jobs = model->TakeWaitingJobs(m_targetRoot);
    if (jobs.empty()) {
        if (model->rowCount() > 0 && !m_worker->Running())
            model->RemoveAll();
        ShowMessageText(this, Text(kTextDrmNoFiles), PromptIcon::Information);
        return;
    }
    {
        std::lock_guard lock(m_runMutex);
        m_runParams = std::make_shared<const drm::PackagingParams>(m_params);
    }
    // Every input of the run is known before its first output is written, so that no output
    // replaces a file still to be packaged (a target folder inside an added folder).
    if (!m_worker->Running())
        m_run.Clear();
    for (const drm::PackJob& job : jobs)
        m_run.AddFile(job.inputPath);
    if (!m_worker->Running())
        m_log->Add(Text(kTextDrmLogStart));
    Log("DRM packaging: %zu files into %s\n", jobs.size(), m_targetRoot.toUtf8().constData());
    m_worker->Add(std::move(jobs));
}

void CDRMView::Stop()
{
    m_worker->RequestStop();
}

int CDRMView::PackOne(drm::PackJob& job)
{
    std::shared_ptr<const drm::PackagingParams> params;
    {
        std::lock_guard lock(m_runMutex);
        params = m_runParams;
    }
    if (!m_keys || !m_header || !m_protector)
        return drm::kPackFailed; // set-up has not made the objects
    drm::PackObjects objects{*m_keys, *m_header, *m_protector};
    const drm::PackResult r = drm::PackageOneFile(objects, params ? *params : drm::PackagingParams{}, job.inputPath,
                                                  job.outputPath, &m_run);
    if (r.outcome != drm::kPackOk)
        Log("DRM packaging of %s: outcome %d %s\n", job.inputPath.c_str(), r.outcome, r.error.c_str());
    if (r.outcome == drm::kPackOk && r.outputPath != job.outputPath) {
        Log("DRM packaging of %s: %s is taken, written to %s\n", job.inputPath.c_str(), job.outputPath.c_str(),
            r.outputPath.c_str());
        job.outputPath = r.outputPath;
        // Posted before the worker's report of the outcome, so it is there when that comes.
        QMetaObject::invokeMethod(
            this, [this, id = job.id, out = QString::fromStdString(r.outputPath)] { m_renamedOutputs.insert(id, out); },
            Qt::QueuedConnection);
    }
    return r.outcome;
}

void CDRMView::OnTaken(uint64_t id)
{
    m_targets->Model()->SetTaken(id);
    m_targets->ScrollToTarget(id);
}

void CDRMView::OnDone(uint64_t id, int outcome, int64_t size)
{
    CDRMPackModel* model = m_targets->Model();
    model->SetDone(id, outcome, size);
    const QString path = model->PathOf(id);
    if (!path.isEmpty())
        m_log->Add(path + Text(drm::OutcomeOf(outcome).logSuffix));
    const QString renamed = m_renamedOutputs.take(id);
    if (!renamed.isEmpty())
        m_log->Add(path + Text(kTextDrmLogRenamed) + renamed);
}

void CDRMView::OnFinished(const std::vector<uint64_t>& notTaken)
{
    m_targets->Model()->ReturnJobs(notTaken);
    m_log->Add(Text(kTextDrmLogEnd));
    emit packagingFinished();
}
