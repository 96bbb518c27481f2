#pragma once
// The DRM pane: pick media files from local folders into a target list, choose a target
// folder, and package the waiting files with protection on a worker thread, with a log.
//
// Use: construct with the account's DRM id and password and where the DRM web host is, then
// call Setup(). Setup() answers -1 when the protection objects cannot be made (the pane then
// has no use: leave the tab out), else 0 at once; the authentication page is fetched on a
// thread of its own and setupFinished(accepted) follows. Destroying the pane stops the
// worker after its current file and waits for it.

#include "drm/protect/drm_objects.h"
#include "drm/protect/packager.h"
#include "drm/protect/packaging_worker.h"

#include <QHash>
#include <QWidget>

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class QComboBox;
class QLineEdit;
class QPushButton;
class CDRMOriginal;
class CDRMPack;
class CDRMLog;
class CMediaWalker;

struct DrmSetupParams {
    QString drmId;       // DRM_ID of the web user check
    QString drmPass;     // DRM_PASS of the web user check; never logged
    QString drmWebHost = QStringLiteral("127.0.0.1");
    int drmWebPort = 8080;
    QString targetRoot;  // empty: the "drm" folder under the user's data folder
    long authTimeoutSeconds = 15;
    // Makes the three protection objects; null: the OpenSSL implementation.
    std::shared_ptr<talvex::drm::IDrmFactory> factory;
};

class CDRMView final : public QWidget {
    Q_OBJECT
public:
    using FolderPicker = std::function<QString(QWidget* parent, const QString& title, const QString& start)>;

    explicit CDRMView(const DrmSetupParams& params, QWidget* parent = nullptr);
    ~CDRMView() override;

    int Setup();
    // True once the authentication page has given the packaging parameters.
    bool Authenticated() const { return m_authenticated; }
    const talvex::drm::PackagingParams& Parameters() const { return m_params; }

    QString TargetRoot() const { return m_targetRoot; }
    void SetTargetRoot(const QString& folder);
    // Replaces the folder browser of "..." (tests).
    void SetFolderPicker(FolderPicker picker) { m_picker = std::move(picker); }

    // The buttons' actions.
    void Start();
    void Stop();
    void AddSelection();  // "=>"
    void BrowseTarget();  // "..."
    // Adds a file (when it is a media file) or every media file below a folder, depth first.
    // Folders are searched on a thread of their own; rows join the target list in the order
    // the entries were added.
    void AddPath(const QString& path, bool isFolder);
    // Entries added and not yet searched through.
    bool Collecting() const { return m_nCollecting > 0; }
    bool Packaging() const;

    CDRMOriginal* Browser() const { return m_browser; }
    CDRMPack* Targets() const { return m_targets; }
    CDRMLog* LogList() const { return m_log; }
    QComboBox* LocationBox() const { return m_location; }
    QLineEdit* TargetField() const { return m_targetField; }
    QPushButton* StartButton() const { return m_start; }
    QPushButton* StopButton() const { return m_stop; }
    QPushButton* AddButton() const { return m_add; }
    QPushButton* BrowseButton() const { return m_browse; }

signals:
    void setupFinished(bool accepted);
    void packagingFinished();

private:
    class Sink;
    struct AuthGuard;

    void OnAuthAnswer(bool ok, const talvex::drm::PackagingParams& params);
    void OnTaken(uint64_t id);
    void OnDone(uint64_t id, int outcome, int64_t size);
    void OnFinished(const std::vector<uint64_t>& notTaken);
    int PackOne(talvex::drm::PackJob& job);

    DrmSetupParams m_setup;
    talvex::drm::PackagingParams m_params;
    bool m_authenticated = false;
    QString m_targetRoot;
    FolderPicker m_picker;

    QComboBox* m_location = nullptr;
    CDRMOriginal* m_browser = nullptr;
    CDRMPack* m_targets = nullptr;
    CDRMLog* m_log = nullptr;
    QLineEdit* m_targetField = nullptr;
    QPushButton* m_add = nullptr;
    QPushButton* m_browse = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_stop = nullptr;

    std::unique_ptr<talvex::drm::IKeyGenerator> m_keys;
    std::unique_ptr<talvex::drm::IHeader> m_header;
    std::unique_ptr<talvex::drm::IProtector> m_protector;
    std::mutex m_runMutex; // the parameters of the current run, read by the worker
    std::shared_ptr<const talvex::drm::PackagingParams> m_runParams;
    // The inputs of the run going on and the outputs it wrote: no output replaces one of them.
    talvex::drm::PackagingRun m_run;
    // Outputs that took a free name, by target, until their outcome is logged.
    QHash<uint64_t, QString> m_renamedOutputs;

    std::shared_ptr<AuthGuard> m_auth;
    std::thread m_authThread;
    std::unique_ptr<Sink> m_sink;
    int m_nCollecting = 0;
    std::unique_ptr<CMediaWalker> m_walker;
    // Last: destroyed first, so the worker has ended before the objects it uses go.
    std::unique_ptr<talvex::drm::PackagingWorker> m_worker;
};
