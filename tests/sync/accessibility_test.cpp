// What a screen reader hears: every control of the window and of each dialog that a user can
// reach (buttons, boxes, fields, lists, tabs, the status bar) has a name, walked through Qt's
// accessibility interfaces as the bridge to the desktop's accessibility bus walks them. Item
// views are not entered: their rows speak their own texts.

#include "accounts/login_dlg.h"
#include "accounts/manager_dlg.h"
#include "app/about_dlg.h"
#include "drm/drm_view.h"
#include "panes/folder_dlg.h"
#include "panes/rename_dlg.h"
#include "sync/main_frame.h"
#include "sync/option_dlg.h"
#include "sync/schedule_dlg.h"
#include "sync/schedule_info.h"
#include "sync/start_sync_dlg.h"
#include "sync/status_panes.h"
#include "sync/sync_comp_dlg.h"
#include "sync/sync_result_dlg.h"
#include "protocol/records.h"

#include <QAccessible>
#include <QApplication>
#include <QPalette>
#include <QLabel>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

using namespace talvex;

namespace {

bool Interactive(QAccessible::Role role)
{
    switch (role) {
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::ComboBox:
    case QAccessible::EditableText:
    case QAccessible::SpinBox:
    case QAccessible::Slider:
    case QAccessible::Table:
    case QAccessible::List:
    case QAccessible::Tree:
    case QAccessible::PageTab:
    case QAccessible::PageTabList:
    case QAccessible::ButtonMenu:
    case QAccessible::ButtonDropDown:
    case QAccessible::StatusBar:
        return true;
    default:
        return false;
    }
}

// "role: what it is" of every visible interactive control without a name under iface.
void Unnamed(QAccessibleInterface* iface, QStringList& out, int depth = 0)
{
    if (!iface || !iface->isValid() || depth > 40)
        return;
    const QAccessible::Role role = iface->role();
    if (Interactive(role) && iface->text(QAccessible::Name).trimmed().isEmpty()) {
        QObject* object = iface->object();
        out.append(QStringLiteral("%1 %2 %3")
                       .arg(int(role))
                       .arg(object ? QString::fromLatin1(object->metaObject()->className()) : QString())
                       .arg(object ? object->objectName() : QString()));
    }
    if (role == QAccessible::Table || role == QAccessible::List || role == QAccessible::Tree)
        return; // rows and headers speak their texts
    for (int i = 0; i < iface->childCount(); ++i)
        Unnamed(iface->child(i), out, depth + 1);
}

CSyncNoticeList SomeResult()
{
    CSyncNoticeList result;
    result.totalCount = 3;
    result.failCount = 1;
    result.notices.push_back(CSyncNotice{"/docs/a.txt", 500, 0});
    return result;
}

} // namespace

class AccessibilityTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        qputenv("TALVEX_CONFIG_FILE", m_config.filePath(QStringLiteral("talvex.ini")).toUtf8());
        QAccessible::setActive(true);
    }

    void everyControlOfTheWindowAndItsDialogsHasAName()
    {
        CScheduleInfo schedule;
        const CSyncNoticeList result = SomeResult();
        struct Row {
            const char* what;
            std::function<QWidget*()> make;
        };
        const std::vector<Row> rows = {
            {"window", [] { return new CMainFrame; }},
            {"login", [] { return new CLoginDlg; }},
            {"accounts", [] { return new CManagerDlg([](const QString&, const QString&) {}); }},
            {"options", [] { return new COptionDlg(UploadOptions{}); }},
            {"schedule", [&] { return new CScheduleDlg(schedule); }},
            {"new folder", [] { return new CFolderDlg(CFolderDlg::NewFolder); }},
            {"find file", [] { return new CFolderDlg(CFolderDlg::FindFile); }},
            {"rename", [] { return new CRenameDlg(QStringLiteral("a.txt")); }},
            {"sync start", [] { return new CStartSyncDlg(0); }},
            {"sync done", [&] { return new CSyncCompDlg(result, false); }},
            {"sync result", [&] {
                 return new CSyncResultDlg(std::make_unique<CSyncNoticeList>(result), true, QString());
             }},
            {"about", [] { return new CAboutDlg; }},
            {"protection", [] { return new CDRMView(DrmSetupParams{}); }},
        };
        QStringList failures;
        for (const Row& row : rows) {
            std::unique_ptr<QWidget> widget(row.make());
            widget->show();
            QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
            QStringList unnamed;
            Unnamed(QAccessible::queryAccessibleInterface(widget.get()), unnamed);
            if (!unnamed.isEmpty())
                failures.append(QStringLiteral("%1: %2").arg(QLatin1String(row.what), unnamed.join(QStringLiteral("; "))));
        }
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(QLatin1Char('\n'))));
    }

    void theStatusBarsCountsAreReadWithTheirNumbers()
    {
        CMainFrame frame;
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        QStringList names;
        for (QLabel* label : frame.statusBar()->findChildren<QLabel*>())
            names.append(QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name).simplified());
        for (const QString& count : {QStringLiteral("전체 : 0"), QStringLiteral("완료 : 0"), QStringLiteral("실패 : 0"),
                                     QStringLiteral("파일크기 : 0 bytes")})
            QVERIFY2(names.contains(count), qPrintable(names.join(QStringLiteral(" | "))));
    }

    // Pictures of the window on a dark palette, for a person to look at: only when
    // TALVEX_SHOTS_DIR names a folder (run with QT_SCALE_FACTOR=2 for a large screen).
    void theWindowOnADarkPalette()
    {
        const QString dir = qEnvironmentVariable("TALVEX_SHOTS_DIR");
        if (dir.isEmpty())
            QSKIP("pictures only when TALVEX_SHOTS_DIR names a folder");
        QApplication::setStyle(QStringLiteral("Fusion"));
        QPalette dark;
        const QColor window(45, 45, 48), base(30, 30, 32), text(230, 230, 230);
        for (const auto& [role, colour] : {std::pair{QPalette::Window, window}, {QPalette::Base, base},
                                           {QPalette::AlternateBase, window}, {QPalette::Button, window},
                                           {QPalette::WindowText, text}, {QPalette::Text, text}, {QPalette::ButtonText, text},
                                           {QPalette::Highlight, QColor(42, 130, 218)}, {QPalette::HighlightedText, Qt::white}})
            dark.setColor(role, colour);
        QApplication::setPalette(dark);
        CMainFrame frame;
        frame.resize(1100, 700);
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        QVERIFY(frame.grab().save(dir + QStringLiteral("/dark.png")));
        QApplication::setPalette(QPalette());
    }

private:
    QTemporaryDir m_config;
};

QTEST_MAIN(AccessibilityTest)
#include "accessibility_test.moc"
