// The window's layout between runs (column widths, the local pane's sort, the window's place and
// size, the splitters: written when the window closes, read when it is made again, bad values
// ignored) and moving through the window with the keyboard alone (Tab from list to list,
// Alt+number to a page, the local pane's F5 while the remote one would take it).

#include "app/registry_key.h"
#include "panes/flat_tab_view.h"
#include "panes/list_columns.h"
#include "panes/local_view.h"
#include "panes/remote_view.h"
#include "panes/result_views.h"
#include "res/menu_resource.h"
#include "sync/main_frame.h"
#include "sync/queue_view.h"
#include "sync/result_panes.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QSettings>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace talvex;

namespace {

QList<int> Sizes(const CMainFrame& frame, Qt::Orientation orientation)
{
    for (QSplitter* splitter : frame.findChildren<QSplitter*>())
        if (splitter->orientation() == orientation)
            return splitter->sizes();
    return {};
}

QSplitter* SplitterOf(const CMainFrame& frame, Qt::Orientation orientation)
{
    for (QSplitter* splitter : frame.findChildren<QSplitter*>())
        if (splitter->orientation() == orientation)
            return splitter;
    return nullptr;
}

} // namespace

class FrameLayoutTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_config;
    QString m_file;

private slots:
    void init()
    {
        m_config = std::make_unique<QTemporaryDir>();
        m_file = m_config->filePath(QStringLiteral("talvex.ini"));
        qputenv("TALVEX_CONFIG_FILE", m_file.toUtf8());
    }

    void theLayoutComesBackAfterClosingAndOpeningTheWindow()
    {
        QList<int> top, main;
        QRect place;
        {
            CMainFrame frame;
            frame.setGeometry(40, 30, 1100, 760);
            frame.show();
            QVERIFY(QTest::qWaitForWindowExposed(&frame));
            QTRY_VERIFY(Sizes(frame, Qt::Horizontal).value(0) > 0);
            QTest::qWait(50); // the first layout of the splitters has run
            SplitterOf(frame, Qt::Horizontal)->setSizes({400, 700});
            SplitterOf(frame, Qt::Vertical)->setSizes({420, 300});
            top = Sizes(frame, Qt::Horizontal);
            main = Sizes(frame, Qt::Vertical);
            frame.LocalView()->List()->horizontalHeader()->resizeSection(1, 140); // as a drag does
            frame.LocalView()->List()->SortByColumn(CLocalListModel::TimeColumn, CLocalListModel::Descending);
            frame.RemoteView()->List()->header()->resizeSection(2, 160);
            frame.Results().FailView()->List()->horizontalHeader()->resizeSection(1, 450);
            place = frame.geometry();
            QVERIFY(frame.close());
        }
        QSettings written(m_file, QSettings::IniFormat);
        QCOMPARE(written.value(QStringLiteral("Layout/LocalSort")).toString(), QStringLiteral("3,2"));
        QVERIFY(written.value(QStringLiteral("Layout/LocalList")).toString().contains(QStringLiteral("140*")));

        CMainFrame again;
        QCOMPARE(again.LocalView()->List()->columnWidth(1), 140);
        QCOMPARE(again.LocalView()->List()->SortColumn(), int(CLocalListModel::TimeColumn));
        QCOMPARE(again.LocalView()->List()->SortDirection(), int(CLocalListModel::Descending));
        QCOMPARE(again.LocalView()->List()->horizontalHeader()->sortIndicatorSection(), int(CLocalListModel::TimeColumn));
        QCOMPARE(again.RemoteView()->List()->columnWidth(2), 160);
        QCOMPARE(again.Results().FailView()->List()->columnWidth(1), 450);
        QCOMPARE(again.geometry(), place);
        again.show();
        QVERIFY(QTest::qWaitForWindowExposed(&again));
        QTRY_COMPARE(Sizes(again, Qt::Horizontal), top);
        QTRY_COMPARE(Sizes(again, Qt::Vertical), main);
        // A user-sized column is not widened by what a listing holds.
        QVERIFY(CListColumns::Of(*again.LocalView()->List())->IsUserSized(1));
        QVERIFY(!CListColumns::Of(*again.LocalView()->List())->IsUserSized(2));
    }

    void badOrMissingValuesLeaveTheDesignedLayout()
    {
        {
            QSettings file(m_file, QSettings::IniFormat);
            file.setValue(QStringLiteral("Layout/LocalList"), QStringLiteral("10,x,5"));
            file.setValue(QStringLiteral("Layout/RemoteList"), QStringLiteral("5,5,5,5")); // below every minimum
            file.setValue(QStringLiteral("Layout/LocalSort"), QStringLiteral("99,1"));
            file.setValue(QStringLiteral("Layout/Window"), QStringLiteral("-90000,-90000,50,50,0"));
            file.setValue(QStringLiteral("Layout/TopSplitter"), QStringLiteral("-1,abc"));
        }
        CMainFrame frame;
        QCOMPARE(frame.LocalView()->List()->columnWidth(1), CLocalListCtrl::kColumnWidths[1]);
        QCOMPARE(frame.RemoteView()->List()->columnWidth(1), 70);
        QCOMPARE(frame.LocalView()->List()->SortColumn(), int(CLocalListModel::NameColumn));
        QCOMPARE(frame.size(), QSize(1000, 720));
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        QTRY_VERIFY(qAbs(Sizes(frame, Qt::Horizontal).value(0) - Sizes(frame, Qt::Horizontal).value(1)) <= 1);
        // A window placed on no screen any more keeps its size but comes back into view.
        {
            QSettings file(m_file, QSettings::IniFormat);
            file.setValue(QStringLiteral("Layout/Window"), QStringLiteral("-90000,-90000,900,650,0"));
        }
        CMainFrame moved;
        QCOMPARE(moved.size(), QSize(900, 650));
        QVERIFY(moved.pos().x() > -1000);
    }

    void theKeyboardReachesEveryListAndPage()
    {
        CMainFrame frame;
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        QApplication::setActiveWindow(&frame);
        QWidget* local = frame.LocalView()->List();
        QWidget* remote = frame.RemoteView()->List();
        local->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), local);
        // Tab: from the local list to the remote list (the path box is skipped), on to the pages.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), remote);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QVERIFY(frame.TabView()->isAncestorOf(QApplication::focusWidget()));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), remote);
        // Alt+number: a page to the front with the focus on its list.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_4, Qt::AltModifier);
        QCOMPARE(frame.TabView()->CurrentPage(), int(CFlatTabView::FailPage));
        QCOMPARE(QApplication::focusWidget(), frame.Results().FailView()->List());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_1, Qt::AltModifier);
        QCOMPARE(frame.TabView()->CurrentPage(), int(CFlatTabView::QueuePage));
        QCOMPARE(QApplication::focusWidget(), frame.QueueView()->List());
        // The log-in, account book and search commands have keys of their own.
        QCOMPARE(frame.Action(ID_CONNECT)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));
        QCOMPARE(frame.Action(ID_FIND_FILE)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_F));
    }
};

QTEST_MAIN(FrameLayoutTest)
#include "frame_layout_test.moc"
