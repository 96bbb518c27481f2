// The result pages on their own: columns and status texts, the copy formats, keys and context
// menus, the second chance of failed files, the resend, search results, and the tab pane
// handing rows to the right page.

#include "panes/flat_tab_view.h"
#include "panes/result_views.h"
#include "protocol/upload_request.h"
#include "tests/common/menu_keys.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QSignalSpy>
#include <QTest>

using namespace talvex;

namespace {

CResultRowTexts Texts(const QString& local, const QString& remote, const QString& size = QStringLiteral("1 KB"))
{
    return {local, remote, size};
}

CSyncNotice Notice(int number, const std::string& path, int32_t kind = kNoticePutFile)
{
    CSyncNotice n;
    n.number = number;
    n.text = path;
    n.kind = kind;
    return n;
}

QString Header(const CResultView& view, int column)
{
    return view.Model()->headerData(column, Qt::Horizontal).toString();
}

Qt::Alignment Align(const CResultView& view, int column)
{
    return Qt::Alignment(view.Model()->index(0, column).data(Qt::TextAlignmentRole).toInt()) & Qt::AlignHorizontal_Mask;
}

} // namespace

class ResultViewsTest : public QObject {
    Q_OBJECT
private slots:
    void columnsWidthsAndFixedStatusTexts()
    {
        CProcessView process;
        QAbstractItemModelTester tester(process.Model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        process.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("/a.txt")), QStringLiteral("/keep"));
        process.SetSyncService(true);
        process.AddResultRow(Texts(QStringLiteral("/l/b.txt"), QStringLiteral("/b.txt")), QString());
        QCOMPARE(process.Model()->columnCount(), 5);
        QCOMPARE(Header(process, 0), QStringLiteral("로컬파일명"));
        QCOMPARE(Header(process, 1), QStringLiteral("원격파일명"));
        QCOMPARE(Header(process, 2), QStringLiteral("파일크기"));
        QCOMPARE(Header(process, 3), QStringLiteral("동기화 결과"));
        QCOMPARE(Header(process, 4), QString());
        QCOMPARE(process.List()->columnWidth(0), 300);
        QCOMPARE(process.List()->columnWidth(1), 300);
        QCOMPARE(process.List()->columnWidth(2), 100);
        QVERIFY(process.List()->isColumnHidden(4));
        QCOMPARE(Align(process, 0), Qt::AlignLeft);
        QCOMPARE(Align(process, 2), Qt::AlignRight);
        QCOMPARE(Align(process, 3), Qt::AlignHCenter);
        QCOMPARE(process.Model()->Text(0, 3), QStringLiteral("업로드 완료"));
        QCOMPARE(process.Model()->Text(1, 3), QStringLiteral("동기화 진행중"));
        QCOMPARE(process.Model()->Text(0, 4), QStringLiteral("/keep"));
        QVERIFY(!process.Model()->index(0, 0).data(Qt::DecorationRole).isNull());

        CCompleteResultView complete;
        complete.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("/a.txt")));
        QCOMPARE(complete.Model()->columnCount(), 4);
        QCOMPARE(complete.List()->columnWidth(1), 100);
        QCOMPARE(complete.Model()->Text(0, 3), QStringLiteral("동기화 완료"));

        CFailView fail;
        fail.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("/a.txt")));
        QCOMPARE(fail.List()->columnWidth(1), 300);
        QCOMPARE(fail.Model()->Text(0, 3), QStringLiteral("동기화 실패"));

        CFindView find;
        QCOMPARE(Header(find, 0), QStringLiteral("원격파일명"));
        QCOMPARE(Header(find, 2), QStringLiteral("수정일자"));
        QCOMPARE(find.List()->columnWidth(0), 350);
        QCOMPARE(find.List()->columnWidth(1), 80);
        QCOMPARE(find.List()->columnWidth(2), 100);
    }

    void eachPageCopiesInItsOwnFormat()
    {
        CProcessView process;
        process.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("/a.txt"), QStringLiteral("5")), QStringLiteral("/m"));
        process.List()->selectAll();
        QCOMPARE(process.SelectionText(), QStringLiteral("/l/a.txt\t/a.txt\t5\r\n"));

        CCompleteResultView complete;
        complete.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("/a.txt"), QStringLiteral("5")));
        complete.AddResultRow(Texts(QStringLiteral("/l/b.txt"), QStringLiteral("/b.txt"), QStringLiteral("6")));
        complete.List()->selectAll();
        QCOMPARE(complete.SelectionText(),
                 QStringLiteral("/l/a.txt\t/a.txt\t5\t동기화 완료\r\n/l/b.txt\t/b.txt\t6\t동기화 완료\r\n"));

        CFailView fail;
        fail.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("/a.txt"), QStringLiteral("5")));
        fail.List()->selectAll();
        QCOMPARE(fail.SelectionText(), QStringLiteral("/l/a.txt\t/a.txt\t5\r\n"));

        CFindView find;
        CRemoteEntry entry;
        entry.name = "보고서.txt";
        entry.size = 1234567;
        entry.modified = MakeOleDate(2024, 5, 1, 13, 7, 59);
        find.ShowSearchResults({entry});
        find.List()->selectAll();
        // The search page's lines end with an empty field: a tab before CR LF.
        QCOMPARE(find.SelectionText(), QStringLiteral("보고서.txt\t1,234,567\t2024-05-01 13:07\t\r\n"));

        // Ctrl+C puts it on the clipboard; with nothing selected the clipboard gets an empty text.
        QTest::keyClick(find.List(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("보고서.txt\t1,234,567\t2024-05-01 13:07\t\r\n"));
        find.List()->clearSelection();
        find.MenuAction(32778)->trigger();
        QCOMPARE(QApplication::clipboard()->text(), QString());
    }

    void ctrlACtrlCPutsTheSelectedRowsOnTheClipboardInEveryList()
    {
        // The current cell is a remote name: the tree view's own Ctrl+C would copy just that.
        CProcessView process;
        CCompleteResultView complete;
        CFailView fail;
        CFindView find;
        for (CResultView* view : std::initializer_list<CResultView*>{&process, &complete, &fail, &find}) {
            view->resize(700, 200);
            view->show();
            QVERIFY(QTest::qWaitForWindowExposed(view));
        }
        process.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("a.txt"), QStringLiteral("5")), QString());
        process.AddResultRow(Texts(QStringLiteral("/l/b.txt"), QStringLiteral("b.txt"), QStringLiteral("6")), QString());
        complete.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("a.txt"), QStringLiteral("5")));
        complete.AddResultRow(Texts(QStringLiteral("/l/b.txt"), QStringLiteral("b.txt"), QStringLiteral("6")));
        fail.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("a.txt"), QStringLiteral("5")));
        fail.AddResultRow(Texts(QStringLiteral("/l/b.txt"), QStringLiteral("b.txt"), QStringLiteral("6")));
        CRemoteEntry one;
        one.name = "one.txt";
        one.size = 1;
        CRemoteEntry two;
        two.name = "two.txt";
        two.size = 2000;
        find.ShowSearchResults({one, two});
        const QList<QPair<CResultView*, QString>> expected = {
            {&process, QStringLiteral("/l/a.txt\ta.txt\t5\r\n/l/b.txt\tb.txt\t6\r\n")},
            {&complete, QStringLiteral("/l/a.txt\ta.txt\t5\t동기화 완료\r\n/l/b.txt\tb.txt\t6\t동기화 완료\r\n")},
            {&fail, QStringLiteral("/l/a.txt\ta.txt\t5\r\n/l/b.txt\tb.txt\t6\r\n")},
            {&find, QStringLiteral("one.txt\t1\t\t\r\ntwo.txt\t2,000\t\t\r\n")},
        };
        for (const auto& [view, text] : expected) {
            QTreeView* list = view->List();
            const QRect cell = list->visualRect(view->Model()->index(1, 1));
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
            QCOMPARE(list->currentIndex().column(), 1);
            QApplication::clipboard()->setText(QStringLiteral("before"));
            QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
            QCOMPARE(QApplication::clipboard()->text(), text);
            QCOMPARE(view->RowCount(), 2);
        }
    }

    void columnsStretchToTheEdgeKeepTheirMinimumAndElideLongPathsInTheMiddle()
    {
        CFailView fail;
        fail.resize(1200, 200);
        fail.show();
        QVERIFY(QTest::qWaitForWindowExposed(&fail));
        QTreeView* list = fail.List();
        QHeaderView* header = list->header();
        QVERIFY(header->stretchLastSection());
        // The last column reaches the list's edge.
        QCOMPARE(header->sectionViewportPosition(3) + header->sectionSize(3), list->viewport()->width());
        for (int c = 0; c < 4; ++c)
            QCOMPARE(header->sectionResizeMode(c), QHeaderView::Interactive);
        // The user widens a column; narrower than it was designed it does not get.
        header->resizeSection(2, 180);
        QCOMPARE(list->columnWidth(2), 180);
        header->resizeSection(2, 20);
        QTRY_COMPARE(list->columnWidth(2), 100);
        // A long remote name makes its column wider (up to a third of the list), once.
        const QString longName = QStringLiteral("folder/") + QString(60, QLatin1Char('x')) + QStringLiteral(".txt");
        fail.AddResultRow(Texts(QStringLiteral("/l/a.txt"), longName));
        QTRY_VERIFY(list->columnWidth(1) > 300);
        QVERIFY(list->columnWidth(1) <= list->viewport()->width() / 3 + 1);
        QCOMPARE(list->textElideMode(), Qt::ElideMiddle);
    }

    void keysAndTheGrayRulesOfTheMenus()
    {
        CFailView fail;
        QCOMPARE(fail.MenuActions().size(), 3);
        for (QAction* action : fail.MenuActions())
            QVERIFY(!action->isEnabled()); // grayed while empty
        QCOMPARE(fail.MenuAction(32774)->text(), QStringLiteral("모두지우기"));
        QCOMPARE(fail.MenuAction(32816)->text(), QStringLiteral("실패항목 재전송"));
        fail.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("/a.txt")));
        fail.AddResultRow(Texts(QStringLiteral("/l/b.txt"), QStringLiteral("/b.txt")));
        for (QAction* action : fail.MenuActions())
            QVERIFY(action->isEnabled());
        QTest::keyClick(fail.List(), Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(fail.SelectedRows(), (QList<int>{0, 1}));
        QTest::keyClick(fail.List(), Qt::Key_Delete);
        QCOMPARE(fail.RowCount(), 0);
        QVERIFY(!fail.MenuAction(32774)->isEnabled());

        CCompleteResultView complete;
        QCOMPARE(complete.MenuActions().size(), 2);
        complete.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("/a.txt")));
        complete.MenuAction(32774)->trigger();
        QCOMPARE(complete.RowCount(), 0);

        CProcessView process; // no context menu at all
        QVERIFY(process.MenuActions().isEmpty());
        process.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("/a.txt")), QString());
        QTest::keyClick(process.List(), Qt::Key_Delete);
        QCOMPARE(process.RowCount(), 0);
    }

    void keysActOnWhateverMadeARowCurrent()
    {
        CCompleteResultView complete;
        for (const char* name : {"a.txt", "b.txt", "c.txt"})
            complete.AddResultRow(Texts(QStringLiteral("/l/") + QLatin1String(name), QLatin1String(name)));
        complete.resize(600, 200);
        complete.show();
        QVERIFY(QTest::qWaitForWindowExposed(&complete));
        QApplication::setActiveWindow(&complete);
        QTreeView& list = *complete.List();
        list.setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(list.hasFocus());
        // The focus made row 0 current without choosing it; Home leaves it there; Shift+F10's
        // 복사 (the second entry) copies it.
        QCOMPARE(list.currentIndex().row(), 0);
        QTest::keyClick(&list, Qt::Key_Home);
        QCOMPARE(complete.SelectedRows(), QList<int>{0});
        QApplication::clipboard()->clear();
        QStringList entries;
        test::AnswerNextMenu(2, &entries);
        QTest::keyClick(&list, Qt::Key_F10, Qt::ShiftModifier);
        QCOMPARE(entries, (QStringList{QStringLiteral("모두지우기"), QStringLiteral("복사")}));
        QCOMPARE(QApplication::clipboard()->text(), complete.SelectionText());
        QVERIFY(QApplication::clipboard()->text().startsWith(QStringLiteral("/l/a.txt")));
        // End, then a click on the empty part: nothing chosen, the last row current; the menu
        // key's 복사 copies that row.
        QTest::keyClick(&list, Qt::Key_End);
        QCOMPARE(complete.SelectedRows(), QList<int>{2});
        const QRect last = list.visualRect(complete.Model()->index(2, 0));
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, QPoint(last.left() + 5, last.bottom() + 40));
        QVERIFY(complete.SelectedRows().isEmpty());
        QApplication::clipboard()->clear();
        test::AnswerNextMenu(2);
        test::PressMenuKey(list);
        QCOMPARE(complete.SelectedRows(), QList<int>{2});
        QVERIFY(QApplication::clipboard()->text().startsWith(QStringLiteral("/l/c.txt")));
        // Page Up: the first row again, chosen.
        QTest::keyClick(&list, Qt::Key_PageUp);
        QCOMPARE(complete.SelectedRows(), QList<int>{0});
    }

    void noticesGiveFailedFilesASecondChance()
    {
        CFailView fail;
        fail.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("/Dir/A.txt")));
        fail.AddResultRow(Texts(QStringLiteral("/l/b.txt"), QStringLiteral("/dir/b.txt")));
        fail.AddResultRow(Texts(QStringLiteral("/l/a2.txt"), QStringLiteral("/dir/a.txt")));
        CSyncNoticeList list;
        list.notices = {Notice(500, "/dir/b.txt"), Notice(200, "dir/a.txt"), Notice(200, "/dir/b.txt", kNoticeRename),
                        Notice(200, "/other.txt")};
        const std::vector<CResultRowTexts> confirmed = fail.RecheckFailed(list);
        // The 200 notice takes the first matching row only (case and the leading "/" aside).
        QCOMPARE(confirmed.size(), size_t(1));
        QCOMPARE(confirmed[0].localPath, QStringLiteral("/l/a.txt"));
        QCOMPARE(fail.RowCount(), 2);
        QCOMPARE(fail.Model()->Text(0, 0), QStringLiteral("/l/b.txt")); // a 500 notice leaves its row
        // Used notices are gone whatever their number; another kind and an unknown name stay.
        QCOMPARE(list.notices.size(), size_t(2));
        QCOMPARE(list.notices[0].kind, int32_t(kNoticeRename));
        QCOMPARE(list.notices[1].text, std::string("/other.txt"));
    }

    void theRecheckFoldsEveryLetterAndNothingBesideTheAlphabet()
    {
        // As the upload bookkeeping: 'A' to 'Z' fold; '@', '[', '`' and '{', 32 apart in pairs
        // as the letters are, stay apart.
        struct Pair {
            char row, heard;
            bool same;
        };
        std::vector<Pair> pairs = {{'@', '`', false}, {'[', '{', false}, {'`', '@', false}, {'{', '[', false},
                                   {'@', '@', true},  {'{', '{', true}};
        for (char c = 'A'; c <= 'Z'; ++c) {
            pairs.push_back({c, static_cast<char>(c + 32), true});
            pairs.push_back({static_cast<char>(c + 32), c, true});
        }
        for (const Pair& p : pairs) {
            CFailView fail;
            fail.AddResultRow(Texts(QStringLiteral("/l/f"), QStringLiteral("/Up/x") + QLatin1Char(p.row)));
            CSyncNoticeList list;
            list.notices = {Notice(200, std::string("uP/X") + p.heard)};
            QVERIFY2(fail.RecheckFailed(list).size() == (p.same ? 1u : 0u), std::string({p.row, ' ', p.heard}).c_str());
            QCOMPARE(fail.RowCount(), p.same ? 0 : 1);
        }
    }

    void resendTakesEveryRowInOrderEvenWithOneSelected()
    {
        CFailView fail;
        fail.AddResultRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("/x/a.txt")));
        fail.AddResultRow(Texts(QStringLiteral("/l/b.txt"), QStringLiteral("/x/b.txt")));
        fail.AddResultRow(Texts(QStringLiteral("/l/c.txt"), QStringLiteral("/c.txt")));
        fail.List()->selectionModel()->select(fail.Model()->index(1, 0),
                                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QSignalSpy spy(&fail, &CFailView::resendRequested);
        fail.MenuAction(32816)->trigger();
        QCOMPARE(fail.RowCount(), 0);
        QCOMPARE(spy.size(), 1);
        const auto orders = spy.at(0).at(0).value<std::vector<CUploadOrder>>();
        QCOMPARE(orders.size(), size_t(3));
        QCOMPARE(orders[0].source, std::string("/l/a.txt"));
        QCOMPARE(orders[0].remoteFolder, std::string("/x/a.txt"));
        QCOMPARE(orders[2].source, std::string("/l/c.txt"));
        for (const CUploadOrder& order : orders) {
            QCOMPARE(order.kind, 0);
            QVERIFY(order.name.empty() && order.moveFolder.empty());
        }
    }

    void searchResultsReplaceTheRows()
    {
        CFindView find;
        CRemoteEntry folder;
        folder.name = "사진";
        folder.kind = 1;
        folder.size = 0;
        folder.modified = MakeOleDate(2023, 12, 31, 23, 59, 0);
        CRemoteEntry big;
        big.name = "big.iso";
        big.size = 12345678901LL;
        big.modified = MakeOleDate(2024, 1, 2, 3, 4, 5);
        CRemoteEntry undated;
        undated.name = "x";
        undated.size = 999;
        find.ShowSearchResults({folder, big, undated});
        find.ShowSearchResults({folder, big, undated}); // replaced, not added
        QCOMPARE(find.RowCount(), 3);
        QCOMPARE(find.Model()->Text(0, 1), QStringLiteral("0"));
        QCOMPARE(find.Model()->Text(0, 2), QStringLiteral("2023-12-31 23:59"));
        QCOMPARE(find.Model()->At(0).data, 1);
        QCOMPARE(find.Model()->Text(1, 1), QStringLiteral("12,345,678,901"));
        QCOMPARE(find.Model()->At(1).data, 0);
        QCOMPARE(find.Model()->Text(2, 1), QStringLiteral("999"));
        QCOMPARE(find.Model()->Text(2, 2), QString());
        find.ShowSearchResults({});
        QCOMPARE(find.RowCount(), 0);
    }

    void theTabPaneHandsRowsToTheirPages()
    {
        CFlatTabView tabs(false);
        tabs.AddFailRow(Texts(QStringLiteral("/l/a.txt"), QStringLiteral("/a.txt"))); // no page yet: nothing
        auto* process = new CProcessView;
        auto* complete = new CCompleteResultView;
        auto* fail = new CFailView;
        tabs.SetPage(CFlatTabView::ProcessPage, process);
        tabs.SetPage(CFlatTabView::CompletePage, complete);
        tabs.SetPage(CFlatTabView::FailPage, fail);
        tabs.AddProgressRow(Texts(QStringLiteral("/l/p.txt"), QStringLiteral("/p.txt")), QStringLiteral("/m"));
        tabs.AddCompleteRow(Texts(QStringLiteral("/l/c.txt"), QStringLiteral("/c.txt")));
        tabs.AddFailRow(Texts(QStringLiteral("/l/f.txt"), QStringLiteral("/f.txt")));
        QCOMPARE(process->RowCount(), 1);
        QCOMPARE(complete->Model()->Text(0, 1), QStringLiteral("/c.txt"));
        QCOMPARE(fail->Model()->Text(0, 1), QStringLiteral("/f.txt"));
        QCOMPARE(tabs.TabTitle(CFlatTabView::FailPage), QStringLiteral("동기화 실패"));
    }
};

QTEST_MAIN(ResultViewsTest)
#include "result_views_test.moc"
