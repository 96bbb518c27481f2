// The DRM pane offscreen: set-up against the development server, the media browser, "=>",
// packaging runs with every outcome, Stop, destruction during a run, and the lists' texts.

#include "app/prompt.h"
#include "devserver/server.h"
#include "devserver/server_log.h"
#include "drm/drm_log.h"
#include "drm/drm_original.h"
#include "drm/drm_pack.h"
#include "drm/drm_view.h"
#include "drm/drm_volumes.h"
#include "drm/protect/drm_format.h"
#include "tests/common/scripted_prompt.h"

#include <QAbstractItemModelTester>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

using namespace talvex;

namespace {

void Write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray Read(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList Column(QAbstractItemModel* m, int column)
{
    QStringList out;
    for (int r = 0; r < m->rowCount(); ++r)
        out << m->index(r, column).data().toString();
    return out;
}

// A factory whose objects cannot all be made.
class FailingFactory final : public drm::IDrmFactory {
public:
    explicit FailingFactory(int failing) : m_failing(failing) {}
    std::unique_ptr<drm::IKeyGenerator> CreateKeyGenerator() override
    {
        return m_failing == 0 ? nullptr : m_real->CreateKeyGenerator();
    }
    std::unique_ptr<drm::IHeader> CreateHeader() override { return m_failing == 1 ? nullptr : m_real->CreateHeader(); }
    std::unique_ptr<drm::IProtector> CreateProtector() override
    {
        return m_failing == 2 ? nullptr : m_real->CreateProtector();
    }

private:
    int m_failing;
    std::unique_ptr<drm::IDrmFactory> m_real = drm::CreateOpenSslFactory();
};

// The real objects, with a protector that takes its time over each file.
class SlowFactory final : public drm::IDrmFactory {
public:
    std::unique_ptr<drm::IKeyGenerator> CreateKeyGenerator() override { return m_real->CreateKeyGenerator(); }
    std::unique_ptr<drm::IHeader> CreateHeader() override { return m_real->CreateHeader(); }
    std::unique_ptr<drm::IProtector> CreateProtector() override
    {
        class Slow final : public drm::IProtector {
        public:
            explicit Slow(std::unique_ptr<drm::IProtector> real) : m_real(std::move(real)) {}
            bool SetHeader(const std::string& v) override { return m_real->SetHeader(v); }
            bool SetKeyId(const std::string& v) override { return m_real->SetKeyId(v); }
            bool SetContentKey(const std::string& v) override { return m_real->SetContentKey(v); }
            bool SetInputFile(const std::string& v) override { return m_real->SetInputFile(v); }
            bool ProtectFile(const std::string& v) override
            {
                QThread::msleep(300);
                return m_real->ProtectFile(v);
            }
            std::string LastError() const override { return m_real->LastError(); }

        private:
            std::unique_ptr<drm::IProtector> m_real;
        };
        return std::make_unique<Slow>(m_real->CreateProtector());
    }

private:
    std::unique_ptr<drm::IDrmFactory> m_real = drm::CreateOpenSslFactory();
};

} // namespace

class DrmPaneTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        devserver::SetServerLogQuiet(true);
        QVERIFY(m_store.isValid());
        devserver::ServerConfig config;
        config.root = m_store.path().toStdString();
        config.webPort = config.commandPort = config.controlPort = 0;
        m_server = std::make_unique<devserver::Server>(config, devserver::AccountBook::Defaults());
        std::string error;
        QVERIFY2(m_server->Start(error), error.c_str());
    }
    void cleanupTestCase() { m_server->Stop(); }
    void init()
    {
        m_prompt.Clear();
        SetPrompt(&m_prompt);
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup() { SetPrompt(nullptr); }

    void setUpAsksTheAuthenticationPageBesideTheWindow()
    {
        auto view = MakeView();
        QCOMPARE(view->TargetField()->text(), Root("target"));
        QVERIFY(view->Authenticated());
        QVERIFY(!view->Parameters().seed.empty());
        std::string pub;
        QVERIFY(drm::PublicKeyOf(view->Parameters().priKey, pub));
        QCOMPARE(QString::fromStdString(pub), QString::fromStdString(view->Parameters().pubKey));
        QVERIFY(m_prompt.shown.isEmpty());

        // A refused id: the pane stays (Setup says 0), with the refusal and no parameters.
        auto refused = MakeView("wrong", false);
        QVERIFY(!refused->Authenticated());
        QVERIFY(refused->Parameters().seed.empty());
        QCOMPARE(m_prompt.shown, QStringList{"DRM ID or Password가 일치하지 않습니다"});
        QCOMPARE(m_prompt.boxes.first().icon, PromptIcon::Error);
        QCOMPARE(m_prompt.boxes.first().caption, QStringLiteral("Talvex"));
    }

    void anObjectThatCannotBeMadeLeavesTheTabOut()
    {
        const QStringList texts = {"DRM Key 설치하는데 실패하였습니다", "DRM Header 설치하는데 실패하였습니다",
                                   "DRM Protect 설치하는데 실패하였습니다"};
        for (int failing = 0; failing < 3; ++failing) {
            m_prompt.Clear();
            DrmSetupParams p = Params("drmpass");
            p.factory = std::make_shared<FailingFactory>(failing);
            CDRMView view(p);
            QSignalSpy finished(&view, &CDRMView::setupFinished);
            QCOMPARE(view.Setup(), -1);
            QCOMPARE(m_prompt.shown, QStringList{texts[failing]});
            QCOMPARE(m_prompt.boxes.first().icon, PromptIcon::Error);
            QTest::qWait(20);
            QCOMPARE(finished.count(), 0);
        }
    }

    void browserShowsVolumesFoldersAndRemembersLocations()
    {
        const QString media = Root("media");
        Write(media + "/b.wmv", QByteArray(1234567, 'x'));
        Write(media + "/a.txt", QByteArray(1, 'x'));
        QDir().mkpath(media + "/Sub");
        auto view = MakeView();
        CDRMOriginal* browser = view->Browser();
        QAbstractItemModelTester tester(browser->Model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(browser->Location(), QStringLiteral("내컴퓨터"));
        QCOMPARE(view->LocationBox()->currentText(), QStringLiteral("내컴퓨터"));
        QCOMPARE(browser->Model()->headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("남은크기"));
        QVERIFY(browser->Model()->rowCount() >= 2);
        QCOMPARE(browser->Model()->index(0, 0).data().toString(), QDir::homePath()); // home first
        QCOMPARE(browser->Model()->index(1, 0).data().toString(), QStringLiteral("/"));

        browser->ShowFolder(media);
        QCOMPARE(Column(browser->Model(), 0), (QStringList{"Sub", "a.txt", "b.wmv"}));
        QCOMPARE(Column(browser->Model(), 1), (QStringList{"", "1KB", "1,205KB"}));
        QCOMPARE(browser->Model()->index(0, 2).data().toString(), QStringLiteral("File Folder"));
        QCOMPARE(browser->Model()->headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("수정날짜"));
        QVERIFY(browser->Model()->index(2, 3).data().toString().contains(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$")));

        view->resize(800, 500);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
        const QRect folderRow = browser->visualRect(browser->Model()->index(0, 0));
        QTest::mouseClick(browser->viewport(), Qt::LeftButton, {}, folderRow.center());
        QTest::mouseDClick(browser->viewport(), Qt::LeftButton, {}, folderRow.center()); // the folder
        QCOMPARE(browser->Location(), media + "/Sub");
        QCOMPARE(view->LocationBox()->currentText(), media + "/Sub");
        browser->OpenRow(1); // not a folder row: nothing
        QCOMPARE(browser->Location(), media + "/Sub");

        // Both places stay in the combo box; choosing one shows it again.
        const int at = view->LocationBox()->findText(media);
        QVERIFY(at > 0);
        view->LocationBox()->setCurrentIndex(at);
        emit view->LocationBox()->activated(at);
        QCOMPARE(browser->Location(), media);
        view->LocationBox()->setCurrentIndex(0);
        emit view->LocationBox()->activated(0);
        QCOMPARE(browser->Location(), QStringLiteral("내컴퓨터"));
        QCOMPARE(view->LocationBox()->findText(media + "/Sub") > 0, true);
    }

    void sizeTimeAndVolumeTexts()
    {
        QCOMPARE(FileSizeKbText(0), QStringLiteral("0KB"));
        QCOMPARE(FileSizeKbText(1), QStringLiteral("1KB"));
        QCOMPARE(FileSizeKbText(1234567), QStringLiteral("1,205KB"));
        QCOMPARE(FileSizeKbText(6'000'000'000LL), QStringLiteral("5,859,375KB"));
        QCOMPARE(VolumeSizeText(1023), QString());                      // 0 MB: empty
        QCOMPARE(VolumeSizeText(2048), QStringLiteral("2.00 MB"));
        QCOMPARE(VolumeSizeText(500'000'000), QStringLiteral("476.84 GB")); // 500 GB
        QCOMPARE(CDRMLog::TimeText(QDateTime(QDate(2006, 5, 3), QTime(9, 5, 3))), QStringLiteral("[2006/5/3  9:5:3]"));

        for (const char* type : {"proc", "sysfs", "tmpfs", "overlay", "squashfs", "devtmpfs", "cgroup2"})
            QVERIFY2(!IsPersonVolume("/media/x", type), type);
        QVERIFY(IsPersonVolume("/", "ext4"));
        QVERIFY(IsPersonVolume("/media/user/USB", "vfat"));
        QVERIFY(IsPersonVolume("/run/media/user/CARD", "exfat"));
        QVERIFY(IsPersonVolume("/mnt/nas", "nfs4"));
        QVERIFY(!IsPersonVolume("/boot/efi", "vfat"));
        QVERIFY(!IsPersonVolume("/etc/hosts", "ext4"));
    }

    void addingAFolderTakesItsMediaFilesDepthFirst()
    {
        const QString media = Root("pick");
        Write(media + "/one.wmv", "1");
        Write(media + "/Two.WMA", "2");
        Write(media + "/notes.txt", "3");
        Write(media + "/Sub/three.asf", "4");
        auto view = MakeView();
        QAbstractItemModelTester tester(view->Targets()->Model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        view->Browser()->ShowFolder(QFileInfo(media).absolutePath());
        const int row = Column(view->Browser()->Model(), 0).indexOf("pick");
        QVERIFY(row >= 0);
        view->Browser()->selectionModel()->select(view->Browser()->Model()->index(row, 0),
                                                  QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QTest::mouseClick(view->AddButton(), Qt::LeftButton);
        WaitCollected(*view);
        CDRMPackModel* m = view->Targets()->Model();
        QCOMPARE(Column(m, 0), (QStringList{media + "/one.wmv", media + "/Sub/three.asf", media + "/Two.WMA"}));
        QCOMPARE(Column(m, 1), (QStringList{"대기중", "대기중", "대기중"}));
        QCOMPARE(m->RelativeOutput(1), QStringLiteral("Sub/three.asf"));
        QCOMPARE(m->index(0, 0).data(CDRMPackModel::kStateRole).toInt(), 0);
    }

    void aRunPackagesEachTargetToItsOwnOutputAndReportsEveryOutcome()
    {
        // Two source folders with a file of the same name, one of them in a sub-folder too.
        Write(Root("A/x.wmv"), "from A");
        Write(Root("A/Sub/y.wmv"), "from A/Sub");
        Write(Root("B/x.wmv"), "from B");
        Write(Root("song.mp3"), "mp3 bytes");
        Write(Root("gone.wmv"), "soon gone");
        auto view = MakeView();
        view->AddPath(Root("A"), true);
        view->AddPath(Root("B"), true);
        view->AddPath(Root("gone.wmv"), false);
        view->AddPath(Root("song.mp3"), false); // not offered by "=>" ...
        WaitCollected(*view);
        QCOMPARE(view->Targets()->Model()->rowCount(), 4);
        view->Targets()->Model()->Add(Root("song.mp3"), "song.mp3"); // ... but may still be listed
        QFile::remove(Root("gone.wmv"));

        CDRMPackModel* m = view->Targets()->Model();
        QCOMPARE(m->RelativeOutput(0), QStringLiteral("Sub/y.wmv")); // depth first, by name
        QCOMPARE(m->RelativeOutput(1), QStringLiteral("x.wmv"));
        QCOMPARE(m->RelativeOutput(2), QStringLiteral("x_[1].wmv"));

        RunToEnd(*view);
        QCOMPARE(Column(m, 1), (QStringList{"성공", "성공", "성공", "Packing 오류입니다", "실패 : 동영상 파일이 아닙니다."}));
        QCOMPARE(m->index(0, 2).data().toString(), QStringLiteral("0 KB "));
        QCOMPARE(m->index(3, 2).data().toString(), QString());
        QCOMPARE(m->index(0, 2).data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignRight | Qt::AlignVCenter));
        const QList<int> states = {1, 1, 1, 2, 3};
        for (int r = 0; r < 5; ++r)
            QCOMPARE(m->index(r, 0).data(CDRMPackModel::kStateRole).toInt(), states[r]);

        const QStringList log = Column(view->LogList()->Model(), 0);
        QCOMPARE(log, (QStringList{"<< Packaging Start >>===================================",
                                   Root("A/Sub/y.wmv") + "\t==> Packaging 성공", Root("A/x.wmv") + "\t==> Packaging 성공",
                                   Root("B/x.wmv") + "\t==> Packaging 성공", Root("gone.wmv") + "\t==> Packaging fail",
                                   Root("song.mp3") + "\t==> Packaging not media file",
                                   "<< Packaging End   >>==================================="}));
        QVERIFY(view->LogList()->Model()->index(0, 1).data().toString().startsWith('['));

        // Each output holds its own file's bytes.
        QCOMPARE(Unpack(*view, Root("target/x.wmv")), QByteArray("from A"));
        QCOMPARE(Unpack(*view, Root("target/Sub/y.wmv")), QByteArray("from A/Sub"));
        QCOMPARE(Unpack(*view, Root("target/x_[1].wmv")), QByteArray("from B"));
        QVERIFY(!QFile::exists(Root("target/song.mp3")));

        // Nothing waits now: Start clears the list and says so.
        m_prompt.Clear();
        view->Start();
        QCOMPARE(m_prompt.shown, QStringList{"파일이 없습니다."});
        QCOMPARE(m_prompt.boxes.first().icon, PromptIcon::Information);
        QCOMPARE(m->rowCount(), 0);
    }

    void aLargeFolderIsSearchedWithoutHoldingUpTheWindowAndThePaneMayGoMidWalk()
    {
        for (int d = 0; d < 40; ++d)
            for (int f = 0; f < 50; ++f)
                Write(Root(QString("tree/d%1/f%2.wmv").arg(d, 2, 10, QLatin1Char('0')).arg(f, 2, 10, QLatin1Char('0'))), "m");
        auto view = MakeView();
        view->AddPath(Root("tree"), true);
        view->AddPath(Root("tree/d00/f00.wmv"), false); // after the folder, in the order added
        QVERIFY(view->Collecting()); // the call came back before the search was done
        WaitCollected(*view);
        CDRMPackModel* m = view->Targets()->Model();
        QCOMPARE(m->rowCount(), 2001);
        QCOMPARE(Column(m, 0).first(), Root("tree/d00/f00.wmv"));
        QCOMPARE(Column(m, 0).last(), Root("tree/d00/f00.wmv"));
        QCOMPARE(m->RelativeOutput(2000), QStringLiteral("f00.wmv"));
        // Gone while a search runs: the search stops and nothing reaches the deleted pane.
        view->AddPath(Root("tree"), true);
        view.reset();
        QTest::qWait(50);
    }

    void theInputItselfIsNeverTheOutput()
    {
        Write(Root("same/clip.wmv"), "original");
        auto view = MakeView();
        view->SetTargetRoot(Root("same/./"));
        view->AddPath(Root("same"), true);
        RunToEnd(*view);
        QCOMPARE(Column(view->Targets()->Model(), 1), QStringList{"실패 : Input 경로와 output 경로 같습니다."});
        QCOMPARE(Column(view->LogList()->Model(), 0).at(1), Root("same/clip.wmv") + "\t==> Packaging output root maching");
        QCOMPARE(Read(Root("same/clip.wmv")), QByteArray("original"));
        QCOMPARE(QDir(Root("same")).entryList(QDir::Files | QDir::Hidden), QStringList{"clip.wmv"});
    }

    void anOutputNeverReplacesAnInputOrAnotherOriginal()
    {
        // The target folder lies inside the folder added and holds an original of the same name.
        Write(Root("V/a.wmv"), "outer");
        Write(Root("V/zz/a.wmv"), "inner");
        auto view = MakeView();
        CDRMPackModel* m = view->Targets()->Model();
        view->SetTargetRoot(Root("V/zz"));
        view->AddPath(Root("V"), true);
        RunToEnd(*view);
        QCOMPARE(Column(m, 0), (QStringList{Root("V/a.wmv"), Root("V/zz/a.wmv")}));
        QCOMPARE(Column(m, 1), (QStringList{"성공", "성공"}));
        // No input was replaced, and no job packaged another job's output.
        QCOMPARE(Read(Root("V/zz/a.wmv")), QByteArray("inner"));
        QCOMPARE(Unpack(*view, Root("V/zz/zz/a.wmv")), QByteArray("inner"));
        QCOMPARE(Unpack(*view, Root("V/zz/a_[1].wmv")), QByteArray("outer"));
        const QString renamed = "\t==> 같은 이름의 파일이 있어 다른 이름으로 저장했습니다: ";
        QStringList log = Column(view->LogList()->Model(), 0);
        QCOMPARE(log.mid(1, 3), (QStringList{Root("V/a.wmv") + "\t==> Packaging 성공", Root("V/a.wmv") + renamed + Root("V/zz/a_[1].wmv"),
                                             Root("V/zz/a.wmv") + "\t==> Packaging 성공"}));

        // Added again, the folder offers its originals only, never the packages inside it.
        m->RemoveAll();
        view->AddPath(Root("V"), true);
        WaitCollected(*view);
        QCOMPARE(Column(m, 0), (QStringList{Root("V/a.wmv"), Root("V/zz/a.wmv")}));
        m->RemoveAll();

        // A file that is no input and no package (someone's own) is not replaced either...
        Write(Root("T/c.wmv"), "someone's own");
        Write(Root("W/c.wmv"), "from W");
        view->SetTargetRoot(Root("T"));
        view->AddPath(Root("W/c.wmv"), false);
        RunToEnd(*view);
        QCOMPARE(Read(Root("T/c.wmv")), QByteArray("someone's own"));
        QCOMPARE(Unpack(*view, Root("T/c_[1].wmv")), QByteArray("from W"));
        log = Column(view->LogList()->Model(), 0);
        QCOMPARE(log.at(log.size() - 2), Root("W/c.wmv") + renamed + Root("T/c_[1].wmv")); // before "End"

        // ... while a package of an earlier run is: packaging again updates it in place.
        m->RemoveAll();
        Write(Root("W/c.wmv"), "from W, again");
        view->AddPath(Root("W/c.wmv"), false);
        RunToEnd(*view);
        QCOMPARE(Read(Root("T/c.wmv")), QByteArray("someone's own"));
        QCOMPARE(Unpack(*view, Root("T/c_[1].wmv")), QByteArray("from W, again"));
        QVERIFY(!QFile::exists(Root("T/c_[2].wmv")));
        QCOMPARE(QDir(Root("T")).entryList(QDir::Files | QDir::Hidden), (QStringList{"c.wmv", "c_[1].wmv"}));
    }

    void stopEndsAfterTheCurrentFileAndStartGoesOn()
    {
        for (int i = 0; i < 6; ++i)
            Write(Root(QString("many/f%1.wmv").arg(i)), QByteArray(200000, char('a' + i)));
        auto view = MakeView();
        view->AddPath(Root("many"), true);
        WaitCollected(*view);
        QSignalSpy done(view.get(), &CDRMView::packagingFinished);
        QTest::mouseClick(view->StartButton(), Qt::LeftButton);
        QTest::mouseClick(view->StopButton(), Qt::LeftButton);
        QVERIFY(done.wait(20000));
        const QStringList status = Column(view->Targets()->Model(), 1);
        QVERIFY2(status.count("대기중") >= 5, qPrintable(status.join(',')));
        QCOMPARE(Column(view->LogList()->Model(), 0).last(), QStringLiteral("<< Packaging End   >>==================================="));
        RunToEnd(*view);
        QCOMPARE(Column(view->Targets()->Model(), 1), QStringList(6, "성공"));
    }

    void destroyingThePaneDuringARunWaitsForTheCurrentFile()
    {
        for (int i = 0; i < 4; ++i)
            Write(Root(QString("big/f%1.wmv").arg(i)), QByteArray(1 << 20, char('a' + i)));
        auto view = MakeView("drmpass", true, std::make_shared<SlowFactory>());
        view->AddPath(Root("big"), true);
        WaitCollected(*view);
        const std::string seed = view->Parameters().seed;
        view->Start();
        QTRY_VERIFY_WITH_TIMEOUT(view->Targets()->Model()->index(0, 0).data(CDRMPackModel::kStateRole).toInt() != 0, 10000);
        view.reset(); // asks the worker to stop and waits for it
        // What was written is whole: no temporary, and every output there unpacks.
        const QStringList left = QDir(Root("target")).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(left, QStringList{"f0.wmv"}); // the file in hand, and no other
        for (const QString& name : left) {
            QVERIFY2(!name.contains(".tlxtmp-"), qPrintable(name));
            drm::UnprotectInfo info;
            std::string error;
            QVERIFY2(drm::UnprotectFile(Root("target/" + name).toStdString(), seed, {}, Root("back").toStdString(), info, error),
                     error.c_str());
            QCOMPARE(info.bytes, uint64_t(1 << 20));
        }
    }

    void theTargetFolderComesFromTheFolderBrowser()
    {
        auto view = MakeView();
        QString askedTitle;
        view->SetFolderPicker([&](QWidget*, const QString& title, const QString&) {
            askedTitle = title;
            return Root("chosen");
        });
        QTest::mouseClick(view->BrowseButton(), Qt::LeftButton);
        QCOMPARE(askedTitle, QStringLiteral("Select Shared Folder"));
        QCOMPARE(view->TargetRoot(), Root("chosen"));
        QCOMPARE(view->TargetField()->text(), Root("chosen"));
        QVERIFY(view->TargetField()->isReadOnly());
        view->SetFolderPicker([](QWidget*, const QString&, const QString&) { return QString(); }); // cancelled
        QTest::mouseClick(view->BrowseButton(), Qt::LeftButton);
        QCOMPARE(view->TargetRoot(), Root("chosen"));

        // The default lies under the user's data folder.
        DrmSetupParams p = Params("drmpass");
        p.targetRoot.clear();
        CDRMView fresh(p);
        QVERIFY(fresh.TargetRoot().endsWith("/drm"));
        QCOMPARE(fresh.TargetField()->text(), fresh.TargetRoot());

        if (qEnvironmentVariableIsSet("TALVEX_DRM_GRAB")) { // a picture of the pane for people
            Write(Root("Videos/강의 01.wmv"), QByteArray(2'500'000, 'v'));
            Write(Root("Videos/intro.wma"), QByteArray(700'000, 'a'));
            Write(Root("Videos/notes.txt"), "n");
            view->resize(900, 560);
            view->Browser()->ShowFolder(Root("Videos"));
            view->AddPath(Root("Videos"), true);
            RunToEnd(*view);
            view->AddPath(Root("Videos/강의 01.wmv"), false);
            WaitCollected(*view);
            view->show();
            QTest::qWait(50);
            view->grab().save(qEnvironmentVariable("TALVEX_DRM_GRAB"));
        }
    }

private:
    QString Root(const QString& rel) { return m_dir->path() + "/" + rel; }

    DrmSetupParams Params(const QString& pass)
    {
        DrmSetupParams p;
        p.drmId = "drmuser";
        p.drmPass = pass;
        p.drmWebHost = "127.0.0.1";
        p.drmWebPort = m_server->WebPort();
        p.targetRoot = Root("target");
        p.authTimeoutSeconds = 5;
        return p;
    }

    std::unique_ptr<CDRMView> MakeView(const QString& pass = "drmpass", bool accepted = true,
                                       std::shared_ptr<drm::IDrmFactory> factory = {})
    {
        DrmSetupParams p = Params(pass);
        p.factory = std::move(factory);
        auto view = std::make_unique<CDRMView>(p);
        QSignalSpy finished(view.get(), &CDRMView::setupFinished);
        [&] { QCOMPARE(view->Setup(), 0); }();
        [&] {
            QVERIFY(finished.wait(10000));
            QCOMPARE(finished.first().first().toBool(), accepted);
        }();
        return view;
    }

    // "=>" searches on a thread of its own: its rows come a little later.
    void WaitCollected(CDRMView& view) { QTRY_VERIFY_WITH_TIMEOUT(!view.Collecting(), 10000); }

    void RunToEnd(CDRMView& view)
    {
        WaitCollected(view);
        QSignalSpy done(&view, &CDRMView::packagingFinished);
        view.Start();
        QVERIFY(done.wait(30000));
    }

    QByteArray Unpack(const CDRMView& view, const QString& packed)
    {
        drm::UnprotectInfo info;
        std::string error;
        const QString out = Root("unpacked.bin");
        if (!drm::UnprotectFile(packed.toStdString(), view.Parameters().seed, view.Parameters().pubKey,
                                out.toStdString(), info, error)) {
            qWarning("%s", error.c_str());
            return {};
        }
        const QByteArray bytes = Read(out);
        QFile::remove(out);
        return bytes;
    }

    QTemporaryDir m_store;
    std::unique_ptr<devserver::Server> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    test::ScriptedPrompt m_prompt;
};

QTEST_MAIN(DrmPaneTest)
#include "drm_pane_test.moc"
