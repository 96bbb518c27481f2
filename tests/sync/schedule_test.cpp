// The schedule: its dialog (texts, ranges, the checks of OK with their boxes and focus, the key
// filter), its page (the buttons, the due rules on a test clock, the log), the scheduled run
// (skip while uploads are pending, folders without files, the order it queues), and the whole
// thing in the window against a development server with a sync-service account.

#include "devserver/server_log.h"
#include "panes/flat_tab_view.h"
#include "res/string_table.h"
#include "sync/schedule_controller.h"
#include "sync/schedule_dlg.h"
#include "sync/schedule_info.h"
#include "sync/schedule_view.h"
#include "sync/upload_queue.h"
#include "tests/common/frame_fixture.h"

#include <QAction>
#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeEdit>
#include <QTreeWidget>

#include <vector>

using namespace talvex;
using talvex::test::WriteFile;

namespace {

QString U(const char* text) { return QString::fromUtf8(text); }

// An active every-period schedule as an earlier OK left it.
void MakeActive(CScheduleInfo& info, int unit, int period, const QString& source)
{
    info.kind = CScheduleInfo::EveryPeriod;
    info.unit = unit;
    info.period = period;
    info.sourcePath = source;
    info.targetPath = QStringLiteral("/old/");
    info.movePath = QStringLiteral("/tmp/old-move");
    info.moveOption = true;
    info.active = true;
}

// The page with its controller, without a window: the queue is a flag, the orders are kept.
struct Rig {
    CFlatTabView tabs{true};
    CScheduleView* view = new CScheduleView;
    bool queueEmpty = true;
    std::vector<CUploadOrder> orders;
    QDateTime now = QDateTime(QDate(2024, 3, 5), QTime(9, 40, 0));
    CScheduleController controller{*view, tabs, [this] { return queueEmpty; },
                                   [this](CUploadOrder o) { orders.push_back(std::move(o)); }, nullptr};
    Rig()
    {
        tabs.SetPage(CFlatTabView::SchedulePage, view);
        view->SetClock([this] { return now; });
        view->SetInfo(&controller.Info());
    }
    int Rows() const { return view->LogList()->topLevelItemCount(); }
    QString Cell(int row, int column) const { return view->LogList()->topLevelItem(row)->text(column); }
};

} // namespace

class ScheduleTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        devserver::SetServerLogQuiet(true);
        QVERIFY(m_local.isValid() && m_storage.isValid());
        m_server = test::StartDevServer(m_storage.filePath(QStringLiteral("data")).toStdString());
        QVERIFY(m_server);
    }
    void cleanupTestCase() { m_server.reset(); }
    void init()
    {
        m_env.Begin(*m_server);
        CScheduleDlg::SetFolderBrowser([this](QWidget*, const QString& title, const QString&) {
            m_browseTitles.append(title);
            return m_browseAnswers.isEmpty() ? QString() : m_browseAnswers.takeFirst();
        });
        m_browseTitles.clear();
        m_browseAnswers.clear();
    }
    void cleanup()
    {
        CScheduleDlg::SetFolderBrowser({});
        m_env.End();
    }

    void aNewDialogShowsItsTextsAndAnEveryHourSchedule()
    {
        CScheduleInfo info;
        CScheduleDlg dlg(info);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("스케줄 설정"));
        QStringList groups;
        for (QGroupBox* box : dlg.findChildren<QGroupBox*>())
            groups << box->title();
        QCOMPARE(groups, QStringList({QStringLiteral("스케줄 설정"), QStringLiteral("스케줄 주기 설정"),
                                      QStringLiteral("동기화 대상 경로 설정"), QStringLiteral("동기화 완료후 설정")}));
        QCOMPARE(dlg.EveryPeriodButton()->text(), QStringLiteral("매 주기별로 동기화 수행"));
        QCOMPARE(dlg.AtTimeButton()->text(), QStringLiteral("지정된 시각마다 동기화 수행"));
        QCOMPARE(dlg.HoursButton()->text(), QStringLiteral("시간"));
        QCOMPARE(dlg.MinutesButton()->text(), QStringLiteral("분"));
        QCOMPARE(dlg.MoveBox()->text(), QStringLiteral("원본파일 이동"));
        QCOMPARE(dlg.OkButton()->text(), QStringLiteral("확인"));
        QCOMPARE(dlg.CancelButton()->text(), QStringLiteral("취소"));
        QStringList labels;
        for (QLabel* label : dlg.findChildren<QLabel*>())
            labels << label->text();
        QVERIFY(labels.contains(QStringLiteral("주기")) && labels.contains(QStringLiteral("원본경로"))
                && labels.contains(QStringLiteral("대상경로")));

        QVERIFY(!dlg.AtTimeButton()->isEnabled());
        QVERIFY(!dlg.TargetBrowseButton()->isEnabled());
        QVERIFY(dlg.SourceEdit()->isReadOnly());
        QVERIFY(dlg.EveryPeriodButton()->isChecked() && dlg.HoursButton()->isChecked());
        QVERIFY(!dlg.DatePicker()->isVisibleTo(&dlg) && dlg.PeriodEdit()->isVisibleTo(&dlg));
        QCOMPARE(dlg.PeriodEdit()->value(), 1);
        QCOMPARE(dlg.PeriodEdit()->UpDownHigh(), 24);
        // A new record has the move option on: the box is ticked and its browser usable.
        QVERIFY(dlg.MoveBox()->isChecked() && dlg.MoveBrowseButton()->isEnabled());
        dlg.MoveBox()->setChecked(false);
        QVERIFY(!dlg.MoveBrowseButton()->isEnabled());

        // The browsers ask with their title and fill the field; a cancelled browse changes nothing.
        m_browseAnswers = {QStringLiteral("/data/src"), QString()};
        dlg.SourceBrowseButton()->click();
        dlg.SourceBrowseButton()->click();
        QCOMPARE(dlg.SourceEdit()->text(), QStringLiteral("/data/src"));
        QCOMPARE(m_browseTitles, QStringList({QStringLiteral("Select Shared Folder"), QStringLiteral("Select Shared Folder")}));
    }

    void thePeriodArrowsKeepToTheirRangeAndTheUnitButtonsFollowTheRules()
    {
        CScheduleInfo info;
        CScheduleDlg dlg(info);
        CPeriodSpinBox* period = dlg.PeriodEdit();
        period->stepBy(100);
        QCOMPARE(period->value(), 24);
        period->stepBy(-100);
        QCOMPARE(period->value(), 1);
        dlg.MinutesButton()->click();
        QCOMPARE(period->UpDownHigh(), 60);
        period->stepBy(44);
        QCOMPARE(period->value(), 45);
        dlg.HoursButton()->click(); // 24 or more becomes 1
        QCOMPARE(period->UpDownHigh(), 24);
        QCOMPARE(period->value(), 1);
        period->stepBy(30);
        QCOMPARE(period->value(), 24);
        dlg.MinutesButton()->click(); // the period stays
        QCOMPARE(period->value(), 24);
        // A typed value is taken as typed.
        QTest::keyClick(period, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(period, QStringLiteral("90"));
        period->interpretText();
        QCOMPARE(period->value(), 90);

        // An active minute schedule comes back as such.
        MakeActive(info, CScheduleInfo::Minutes, 60, QStringLiteral("/s"));
        CScheduleDlg again(info);
        QVERIFY(again.MinutesButton()->isChecked());
        QCOMPARE(again.PeriodEdit()->UpDownHigh(), 60);
        QCOMPARE(again.PeriodEdit()->value(), 60);
        QCOMPARE(again.TargetEdit()->text(), QStringLiteral("/old/"));
    }

    void okChecksEveryFieldInOrderAndWritesNothingUntilAllPass()
    {
        CScheduleInfo info;
        MakeActive(info, CScheduleInfo::Hours, 3, QStringLiteral("/kept/source"));
        const CScheduleInfo before = info;
        CScheduleDlg dlg(info);
        auto unchanged = [&] {
            return info.period == before.period && info.unit == before.unit && info.sourcePath == before.sourcePath
                   && info.targetPath == before.targetPath && info.movePath == before.movePath
                   && info.moveOption == before.moveOption && info.active;
        };
        auto lastBox = [&] { return m_env.prompt.boxes.last(); };

        dlg.PeriodEdit()->setValue(0);
        dlg.OkButton()->click();
        QCOMPARE(lastBox().text, U(kTextSchedulePeriodNotPositive));
        QCOMPARE(lastBox().icon, PromptIcon::Information);
        QCOMPARE(lastBox().caption, QStringLiteral("Talvex"));
        QCOMPARE(dlg.focusWidget(), dlg.PeriodEdit());
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QVERIFY(unchanged());

        // A later refusal leaves the earlier fields unwritten as well.
        dlg.MinutesButton()->click();
        dlg.PeriodEdit()->setValue(-2);
        dlg.OkButton()->click();
        QCOMPARE(lastBox().text, U(kTextSchedulePeriodNotPositive));
        dlg.PeriodEdit()->setValue(7);
        dlg.SourceEdit()->setText(QStringLiteral("   "));
        dlg.OkButton()->click();
        QCOMPARE(lastBox().text, U(kTextScheduleNoSource));
        QCOMPARE(lastBox().icon, PromptIcon::Warning);
        QCOMPARE(dlg.focusWidget(), dlg.SourceEdit());
        QVERIFY(unchanged());

        dlg.SourceEdit()->setText(QStringLiteral(" /new/source "));
        dlg.TargetEdit()->setText(QStringLiteral(" \t"));
        dlg.OkButton()->click();
        QCOMPARE(lastBox().text, U(kTextScheduleNoTarget));
        QCOMPARE(dlg.focusWidget(), dlg.TargetEdit());
        QVERIFY(unchanged());

        dlg.TargetEdit()->setText(QStringLiteral("backup"));
        dlg.MovePathEdit()->setText(QStringLiteral("  "));
        dlg.OkButton()->click();
        QCOMPARE(lastBox().text, U(kTextScheduleNoMovePath));
        QCOMPARE(lastBox().icon, PromptIcon::Warning);
        QCOMPARE(dlg.focusWidget(), dlg.MoveBrowseButton());
        QVERIFY(unchanged());
        QCOMPARE(m_env.prompt.boxes.size(), 5);

        // Unticked: accepted; the old move path stays stored but the option is off.
        dlg.MoveBox()->setChecked(false);
        dlg.OkButton()->click();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(m_env.prompt.boxes.size(), 5);
        QCOMPARE(info.unit, int(CScheduleInfo::Minutes));
        QCOMPARE(info.period, 7);
        QCOMPARE(info.sourcePath, QStringLiteral("/new/source"));
        QCOMPARE(info.targetPath, QStringLiteral("/backup/"));
        QVERIFY(!info.moveOption);
        QCOMPARE(info.movePath, QStringLiteral("/tmp/old-move"));
        QVERIFY(info.active);

        QCOMPARE(NormalizeScheduleTarget(QStringLiteral("/")), QStringLiteral("/"));
        QCOMPARE(NormalizeScheduleTarget(QStringLiteral("/a")), QStringLiteral("/a/"));
        QCOMPARE(NormalizeScheduleTarget(QStringLiteral("a/b/")), QStringLiteral("/a/b/"));
    }

    void aMoveFolderThatOverlapsTheSourceIsRefusedBeforeAnythingIsWritten()
    {
        const QString base = m_local.filePath(QStringLiteral("overlap"));
        for (const char* folder : {"src/moved", "src/deep/er", "srcx", "other"})
            QVERIFY(QDir().mkpath(base + "/" + folder));
        QVERIFY(QFile::link(base + "/src", base + "/link-to-src"));
        const QString src = base + "/src";
        struct Case {
            QString source, move;
            bool refused;
        };
        const QList<Case> cases = {
            {src, src + "/moved", true},              // inside: re-uploaded, deeper each run
            {src, src + "/", true},                   // the same folder, with a trailing slash
            {src, src + "/deep/./er", true},          // inside, spelled with a "."
            {src + "/moved", src, true},              // the source inside the move folder
            {src, base + "/link-to-src/moved", true}, // inside, through a link
            {src, base + "/src/../src//moved/", true},
            {src, base + "/src/new-not-yet-there", true}, // a folder still to be made, inside
            {src, base + "/link-to-src/new/deeper", true}, // the same, through a link
            {src, base + "/srcx", false},             // a name that only starts the same
            {src + "x", src, false},
            {src, base + "/other", false},
        };
        for (const Case& c : cases) {
            m_env.prompt.Clear();
            CScheduleInfo info;
            MakeActive(info, CScheduleInfo::Hours, 3, QStringLiteral("/kept/source"));
            CScheduleDlg dlg(info);
            dlg.SourceEdit()->setText(c.source);
            dlg.TargetEdit()->setText(QStringLiteral("/backup/"));
            dlg.MoveBox()->setChecked(true);
            dlg.MovePathEdit()->setText(c.move);
            dlg.OkButton()->click();
            const QString what = c.source + " / " + c.move;
            if (c.refused) {
                QVERIFY2(m_env.prompt.boxes.size() == 1, qPrintable(what));
                QCOMPARE(m_env.prompt.boxes.first().text, U(kTextScheduleMoveOverlapsSource));
                QCOMPARE(m_env.prompt.boxes.first().icon, PromptIcon::Warning);
                QCOMPARE(dlg.result(), int(QDialog::Rejected));
                QCOMPARE(dlg.focusWidget(), dlg.MoveBrowseButton());
                QVERIFY2(info.sourcePath == QStringLiteral("/kept/source") && info.movePath == QStringLiteral("/tmp/old-move"),
                         qPrintable(what));
            } else {
                QVERIFY2(m_env.prompt.boxes.isEmpty(), qPrintable(what));
                QCOMPARE(dlg.result(), int(QDialog::Accepted));
                QCOMPARE(info.movePath, c.move);
            }
        }
    }

    void aSetTimeInThePastIsRefusedWithTheFocusOnTheDate()
    {
        CScheduleInfo info;
        CScheduleDlg dlg(info);
        dlg.AtTimeButton()->setEnabled(true); // as a set-time record would be edited
        dlg.AtTimeButton()->click();
        QVERIFY(dlg.DatePicker()->isVisibleTo(&dlg) && !dlg.PeriodEdit()->isVisibleTo(&dlg));
        dlg.DatePicker()->setDate(QDate::currentDate().addDays(-1));
        dlg.SourceEdit()->setText(QStringLiteral("/s"));
        dlg.TargetEdit()->setText(QStringLiteral("/t/"));
        dlg.OkButton()->click();
        QCOMPARE(m_env.prompt.boxes.last().text, U(kTextScheduleTimeInPast));
        QCOMPARE(m_env.prompt.boxes.last().icon, PromptIcon::Warning);
        QCOMPARE(dlg.focusWidget(), static_cast<QWidget*>(dlg.DatePicker()));
        QVERIFY(!info.active);
        dlg.DatePicker()->setDate(QDate::currentDate().addDays(1));
        dlg.MoveBox()->setChecked(false);
        dlg.OkButton()->click();
        QVERIFY(info.active);
        QCOMPARE(info.kind, int(CScheduleInfo::AtSetTime));
        QCOMPARE(info.setTime.date(), QDate::currentDate().addDays(1));
        // Back to every period: the unit shown is the record's.
        dlg.EveryPeriodButton()->click();
        QVERIFY(dlg.HoursButton()->isChecked() && dlg.PeriodEdit()->isVisibleTo(&dlg));
    }

    void theKeyFilterRefusesTheCharactersNotTheKeys()
    {
        CScheduleInfo info;
        CScheduleDlg dlg(info);
        const QString refused = QStringLiteral(": < > * \" / ? \\ | 값은 사용할 수 없습니다");
        QCOMPARE(Str(206), refused);
        for (QChar c : QStringLiteral("*:<>?|\"")) {
            QTest::keyClick(dlg.TargetEdit(), c.toLatin1());
            QCOMPARE(m_env.prompt.boxes.last().text, refused);
            QCOMPARE(m_env.prompt.boxes.last().icon, PromptIcon::Warning);
        }
        QCOMPARE(m_env.prompt.boxes.size(), 7);
        QCOMPARE(dlg.TargetEdit()->text(), QString());
        // The same keys without Shift type their characters.
        QTest::keyClicks(dlg.TargetEdit(), QStringLiteral("/a;b,c.d8'\\"));
        QCOMPARE(dlg.TargetEdit()->text(), QStringLiteral("/a;b,c.d8'\\"));
        QCOMPARE(m_env.prompt.boxes.size(), 7);
        QTest::keyClick(dlg.PeriodEdit(), '*');
        QCOMPARE(m_env.prompt.boxes.size(), 8);
    }

    void theButtonsFollowTheEventsAndAStartNeedsASchedule()
    {
        Rig rig;
        CScheduleView& view = *rig.view;
        QVERIFY(!view.StartButton()->isEnabled() && !view.StopButton()->isEnabled());
        QCOMPARE(view.LogList()->headerItem()->text(0), QStringLiteral("시작시각"));
        QCOMPARE(view.LogList()->headerItem()->text(1), QStringLiteral("종료시각"));
        QCOMPARE(view.LogList()->columnWidth(0), 200);

        view.Start(); // nothing set
        QCOMPARE(m_env.prompt.boxes.last().text, U(kTextScheduleNotSet));
        QCOMPARE(m_env.prompt.boxes.last().icon, PromptIcon::Warning);
        QVERIFY(!view.IsRunning());

        MakeActive(rig.controller.Info(), CScheduleInfo::Minutes, 5, QStringLiteral("/s"));
        view.Refresh();
        QCOMPARE(view.PeriodField()->text(), QStringLiteral("5 분 주기로"));
        QCOMPARE(view.TargetField()->text(), QStringLiteral("/old/"));
        QCOMPARE(view.MoveField()->text(), QStringLiteral("/tmp/old-move"));
        QVERIFY(view.StartButton()->isEnabled() && !view.StopButton()->isEnabled());
        view.StartButton()->click();
        QVERIFY(view.IsRunning());
        QVERIFY(!view.StartButton()->isEnabled() && view.StopButton()->isEnabled());
        view.StopButton()->click();
        QVERIFY(!view.IsRunning());
        QVERIFY(view.StartButton()->isEnabled() && !view.StopButton()->isEnabled());

        rig.controller.Info().unit = CScheduleInfo::Hours;
        view.Refresh();
        QCOMPARE(view.PeriodField()->text(), QStringLiteral("5 시간 주기로"));
        // Cancel: the record is reset, a running schedule stops, and the page shows no
        // schedule at all: empty fields, both buttons gray.
        view.Start();
        rig.controller.Cancel();
        QVERIFY(!view.IsRunning());
        QVERIFY(!rig.controller.IsActive());
        QVERIFY(!view.StartButton()->isEnabled() && !view.StopButton()->isEnabled());
        for (QLineEdit* field : {view.PeriodField(), view.SourceField(), view.TargetField(), view.MoveField()})
            QCOMPARE(field->text(), QString());
        // A schedule set again after the cancel shows and starts as a new one.
        MakeActive(rig.controller.Info(), CScheduleInfo::Minutes, 1, QStringLiteral("/s"));
        view.Refresh();
        QCOMPARE(view.PeriodField()->text(), QStringLiteral("1 분 주기로"));
        QVERIFY(view.StartButton()->isEnabled() && !view.StopButton()->isEnabled());
        // Set again while it runs: the buttons stay those of a running schedule.
        view.Start();
        view.Refresh();
        QVERIFY(!view.StartButton()->isEnabled() && view.StopButton()->isEnabled());
    }

    void anEveryPeriodScheduleRunsAtOnceThenAfterEachFullPeriod()
    {
        const QString src = m_local.filePath(QStringLiteral("due"));
        WriteFile(src + QStringLiteral("/f.txt"), "f");
        struct Case {
            int unit, period;
            qint64 seconds;
        };
        for (const Case c : {Case{CScheduleInfo::Hours, 2, 7200}, Case{CScheduleInfo::Minutes, 5, 300},
                             Case{CScheduleInfo::Hours, 24, 86400}, Case{CScheduleInfo::Minutes, 60, 3600}}) {
            Rig rig;
            MakeActive(rig.controller.Info(), c.unit, c.period, src);
            rig.view->Start();
            rig.view->Tick(); // the first look runs it, whatever the hour of the day
            QCOMPARE(rig.orders.size(), size_t(1));
            QCOMPARE(rig.Rows(), 1);
            QCOMPARE(rig.Cell(0, 0), QStringLiteral("2024-03-05 09:40:00"));
            QCOMPARE(rig.Cell(0, 1), QStringLiteral("2024-03-05 09:40:00"));
            const QDateTime first = rig.now;
            rig.now = first.addSecs(c.seconds - 1);
            rig.view->Tick();
            QCOMPARE(rig.orders.size(), size_t(1));
            rig.now = first.addSecs(c.seconds);
            rig.view->Tick();
            QCOMPARE(rig.orders.size(), size_t(2));
            rig.now = first.addSecs(2 * c.seconds - 5);
            rig.view->Tick();
            QCOMPARE(rig.orders.size(), size_t(2));
            rig.now = first.addSecs(2 * c.seconds + 3);
            rig.view->Tick();
            QCOMPARE(rig.orders.size(), size_t(3));
            QCOMPARE(rig.Rows(), 3);
        }
    }

    void stopThenStartKeepsTheTimeOfTheLastRun()
    {
        const QString src = m_local.filePath(QStringLiteral("pause"));
        WriteFile(src + QStringLiteral("/f.txt"), "f");
        Rig rig;
        MakeActive(rig.controller.Info(), CScheduleInfo::Minutes, 10, src);
        rig.view->Start();
        rig.view->Tick();
        QCOMPARE(rig.orders.size(), size_t(1));
        const QDateTime first = rig.now;
        // "중지" then "시작" a minute later: the next look is no reason for a run.
        rig.now = first.addSecs(60);
        rig.view->StopButton()->click();
        rig.view->StartButton()->click();
        QVERIFY(rig.view->IsRunning());
        rig.now = first.addSecs(65);
        rig.view->Tick();
        QCOMPARE(rig.orders.size(), size_t(1));
        QCOMPARE(rig.view->LastRun(), first.toSecsSinceEpoch());
        // The run comes when it was due anyway, ten minutes after the last one.
        rig.now = first.addSecs(599);
        rig.view->Tick();
        QCOMPARE(rig.orders.size(), size_t(1));
        rig.now = first.addSecs(600);
        rig.view->Tick();
        QCOMPARE(rig.orders.size(), size_t(2));
        // Stopped past the due time: the first look after the start runs at once.
        rig.view->Stop();
        rig.now = first.addSecs(1300);
        rig.view->Start();
        rig.view->Tick();
        QCOMPARE(rig.orders.size(), size_t(3));
        // A cancel forgets the last run: a schedule set again runs at its first look.
        rig.controller.Cancel();
        MakeActive(rig.controller.Info(), CScheduleInfo::Minutes, 10, src);
        rig.view->Refresh();
        rig.now = rig.now.addSecs(5);
        rig.view->Start();
        rig.view->Tick();
        QCOMPARE(rig.orders.size(), size_t(4));
    }

    void aRunWithoutASessionSaysSoInItsOwnWords()
    {
        const QString src = m_local.filePath(QStringLiteral("offline"));
        WriteFile(src + QStringLiteral("/f.txt"), "f");
        Rig rig;
        MakeActive(rig.controller.Info(), CScheduleInfo::Minutes, 1, src);
        bool online = false;
        rig.controller.SetOnline([&] { return online; });
        rig.queueEmpty = false; // what the queue says without a session does not matter
        rig.view->Start();
        rig.view->Tick();
        QVERIFY(rig.orders.empty());
        QCOMPARE(rig.Rows(), 2);
        QCOMPARE(rig.Cell(0, 1), QStringLiteral("접속되어 있지 않아 이번 업로드를 건너뜁니다"));
        // Online with uploads pending: the pending text, as before.
        online = true;
        rig.controller.RunScheduledSync();
        QCOMPARE(rig.Cell(2, 1), QStringLiteral("동기화 진행중이므로 디렉토리 검색 Skip"));
        rig.queueEmpty = true;
        rig.controller.RunScheduledSync();
        QCOMPARE(rig.orders.size(), size_t(1));
    }

    void theWindowSkipsAScheduledRunWhileLoggedOut()
    {
        const QString src = m_local.filePath(QStringLiteral("window-offline"));
        WriteFile(src + QStringLiteral("/f.txt"), "f");
        CMainFrame frame;
        MakeActive(frame.Schedule().Info(), CScheduleInfo::Minutes, 1, src);
        CScheduleView& view = frame.Schedule().View();
        view.SetInfo(&frame.Schedule().Info());
        view.Refresh();
        view.Start();
        view.Tick();
        QCOMPARE(view.LogList()->topLevelItemCount(), 2);
        QCOMPARE(view.LogList()->topLevelItem(0)->text(1), U(kTextScheduleSkipOffline));
        QVERIFY(frame.Queue().IsEmpty());
    }

    void aSetTimeScheduleWaitsForItsDayAndRunsOnce()
    {
        const QString src = m_local.filePath(QStringLiteral("settime"));
        WriteFile(src + QStringLiteral("/f.txt"), "f");
        Rig rig;
        CScheduleInfo& info = rig.controller.Info();
        MakeActive(info, CScheduleInfo::Hours, 1, src);
        info.kind = CScheduleInfo::AtSetTime;
        info.setTime = QDateTime(QDate(2024, 3, 6), QTime(10, 0, 0));
        rig.view->Start();
        rig.now = QDateTime(QDate(2024, 3, 5), QTime(10, 0, 5)); // the hour of the day, a day early
        rig.view->Tick();
        rig.now = QDateTime(QDate(2024, 3, 6), QTime(9, 59, 59));
        rig.view->Tick();
        QVERIFY(rig.orders.empty());
        QCOMPARE(rig.Rows(), 0);
        rig.now = QDateTime(QDate(2024, 3, 6), QTime(11, 0, 0)); // later hour, earlier minute
        rig.view->Tick();
        QCOMPARE(rig.orders.size(), size_t(1));
        QVERIFY(!rig.view->IsRunning());
        rig.now = rig.now.addDays(1);
        rig.view->Tick();
        QCOMPARE(rig.orders.size(), size_t(1));
        QCOMPARE(rig.Rows(), 1);
    }

    void aRunQueuesTheSourceFolderForTheTargetWithTheMovePathOnlyWhenWanted()
    {
        const QString src = m_local.filePath(QStringLiteral("order"));
        WriteFile(src + QStringLiteral("/a/b/deep.txt"), "d");
        Rig rig;
        CScheduleInfo& info = rig.controller.Info();
        MakeActive(info, CScheduleInfo::Minutes, 1, src);
        info.targetPath = QStringLiteral("/backup/");
        rig.controller.RunScheduledSync();
        QCOMPARE(rig.orders.size(), size_t(1));
        QCOMPARE(rig.orders[0].kind, 1);
        QCOMPARE(QString::fromStdString(rig.orders[0].source), src + QStringLiteral("/"));
        QCOMPARE(rig.orders[0].name, std::string());
        QCOMPARE(rig.orders[0].remoteFolder, std::string("/backup/"));
        QCOMPARE(rig.orders[0].moveFolder, std::string("/tmp/old-move"));
        // The box unticked: no file may be moved, whatever path is still stored.
        info.moveOption = false;
        rig.controller.RunScheduledSync();
        QCOMPARE(rig.orders.size(), size_t(2));
        QCOMPARE(rig.orders[1].moveFolder, std::string());
    }

    void pendingUploadsSkipTheRunWithTwoLogRows()
    {
        const QString src = m_local.filePath(QStringLiteral("pending"));
        WriteFile(src + QStringLiteral("/f.txt"), "f");
        Rig rig;
        MakeActive(rig.controller.Info(), CScheduleInfo::Minutes, 1, src);
        rig.queueEmpty = false;
        rig.view->Start();
        rig.view->Tick();
        QVERIFY(rig.orders.empty());
        QCOMPARE(rig.Rows(), 2);
        QCOMPARE(rig.Cell(0, 0), QStringLiteral("2024-03-05 09:40:00"));
        QCOMPARE(rig.Cell(0, 1), QStringLiteral("동기화 진행중이므로 디렉토리 검색 Skip"));
        QCOMPARE(rig.Cell(1, 1), QStringLiteral("2024-03-05 09:40:00"));
        // The progress pane counts too, once it is hooked in.
        rig.queueEmpty = true;
        bool progressEmpty = false;
        rig.controller.SetProgressEmpty([&] { return progressEmpty; });
        rig.controller.RunScheduledSync();
        QVERIFY(rig.orders.empty());
        QCOMPARE(rig.Rows(), 3);
        progressEmpty = true;
        rig.controller.RunScheduledSync();
        QCOMPARE(rig.orders.size(), size_t(1));
    }

    void folderTreesWithoutFilesQueueNothingButTheRunIsLogged()
    {
        const QString src = m_local.filePath(QStringLiteral("empties"));
        QVERIFY(QDir().mkpath(src + QStringLiteral("/a/b/c")));
        QVERIFY(QDir().mkpath(src + QStringLiteral("/d")));
        QVERIFY(QFile::link(m_local.filePath(QStringLiteral("due")), src + QStringLiteral("/link"))); // not followed
        QVERIFY(!CScheduleController::HasAnyFile(src));
        Rig rig;
        MakeActive(rig.controller.Info(), CScheduleInfo::Minutes, 1, src);
        rig.view->Start();
        rig.view->Tick();
        QVERIFY(rig.orders.empty());
        QCOMPARE(rig.Rows(), 1);
        WriteFile(src + QStringLiteral("/d/.hidden"), "h");
        QVERIFY(CScheduleController::HasAnyFile(src));
        // A source folder that is gone is said in the log; nothing is queued.
        rig.controller.Info().sourcePath = m_local.filePath(QStringLiteral("gone"));
        rig.controller.RunScheduledSync();
        QVERIFY(rig.orders.empty());
        QVERIFY(rig.Cell(1, 1).startsWith(QStringLiteral("원본 경로를 찾을 수 없습니다: ")));
    }

    void aCancelledOrEmptyScheduleNeverRuns()
    {
        Rig rig;
        CScheduleInfo& info = rig.controller.Info();
        MakeActive(info, CScheduleInfo::Minutes, 1, QStringLiteral("/"));
        rig.view->Start();
        rig.controller.Cancel();
        QVERIFY(!rig.view->IsRunning());
        // Even with a timer left running, a reset record (empty source, not active) does nothing.
        rig.view->Tick();
        rig.controller.RunScheduledSync();
        info.active = true; // active, but without a source
        rig.view->Tick();
        QVERIFY(rig.orders.empty());
        QCOMPARE(rig.Rows(), 0);
    }

    void aScheduleInTheWindowUploadsTheFolderAndMovesTheConfirmedFiles()
    {
        const QString src = m_local.filePath(QStringLiteral("e2e/src"));
        const QString moved = m_local.filePath(QStringLiteral("e2e/moved"));
        WriteFile(src + QStringLiteral("/one.txt"), "one");
        WriteFile(src + QStringLiteral("/sub/두번째.txt"), "two");
        QVERIFY(QDir().mkpath(moved));

        CMainFrame frame;
        QAction* set = frame.Action(32812);
        QAction* cancel = frame.Action(32813);
        QVERIFY(!set->isEnabled() && !cancel->isEnabled());
        QCOMPARE(set->statusTip(), QStringLiteral("스케줄 설정"));
        QCOMPARE(frame.TabView()->PageAt(CFlatTabView::SchedulePage), &frame.Schedule().View());
        test::ConnectFrame(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        frame.UpdateCommandUI();
        QVERIFY(set->isEnabled() && !cancel->isEnabled());

        frame.Schedule().SetDialog([&](CScheduleInfo& info, QWidget*) {
            info.unit = CScheduleInfo::Minutes;
            info.period = 1;
            info.sourcePath = src;
            info.targetPath = QStringLiteral("/backup/");
            info.movePath = moved;
            info.moveOption = true;
            info.active = true;
            return true;
        });
        set->trigger();
        QVERIFY(cancel->isEnabled());
        QCOMPARE(frame.TabView()->CurrentPage(), int(CFlatTabView::SchedulePage));
        CScheduleView& view = frame.Schedule().View();
        QCOMPARE(view.TargetField()->text(), QStringLiteral("/backup/"));
        view.StartButton()->click();
        QVERIFY(view.IsRunning());
        view.Tick(); // what the timer does 5 s later, without the wait
        QCOMPARE(view.LogList()->topLevelItemCount(), 1);
        QVERIFY(!frame.Queue().IsEmpty());

        const QString stored = m_storage.filePath(QStringLiteral("data/sync/backup"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(stored + QStringLiteral("/sub/두번째.txt")), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(stored + QStringLiteral("/one.txt")), 20000);
        // Confirmed by notice: the source files are moved under their remote names.
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(moved + QStringLiteral("/backup/sub/두번째.txt")), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(moved + QStringLiteral("/backup/one.txt")), 30000);
        QVERIFY(!QFile::exists(src + QStringLiteral("/one.txt")));
        QTRY_VERIFY_WITH_TIMEOUT(frame.Queue().IsEmpty(), 10000);

        // The next run finds only empty folders: nothing more is queued.
        view.Tick();
        QCOMPARE(view.LogList()->topLevelItemCount(), 1); // not due yet
        cancel->trigger();
        QVERIFY(!view.IsRunning());
        QVERIFY(!cancel->isEnabled());
        QVERIFY(frame.Queue().IsEmpty());
        QVERIFY(m_env.prompt.boxes.isEmpty());
    }

private:
    test::FrameTestEnv m_env;
    QTemporaryDir m_local;
    QTemporaryDir m_storage;
    std::unique_ptr<devserver::Server> m_server;
    QStringList m_browseTitles;
    QStringList m_browseAnswers;
};

QTEST_MAIN(ScheduleTest)
#include "schedule_test.moc"
