// The result pages on their own: columns and status texts, the copy formats, keys and context
// menus, the second chance of failed files, the resend, search results, and the tab pane
// handing rows to the right page.

#include "panes/flat_tab_view.h"
#include "panes/paint_pacer.h"
#include "panes/result_views.h"
#include "protocol/upload_request.h"
#include "tests/common/menu_keys.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QSignalSpy>
#include <QTest>

#include <fstream>

using namespace talvex;

namespace {

CResultRowTexts Texts(const QString& local, const QString& remote, const QString& size = QStringLiteral("1 KB"))
{
    return {local, remote, size, QString()};
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

// The process's resident memory in bytes (/proc/self/statm); -1 when unknown.
qint64 ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    long long size = 0, resident = -1;
    statm >> size >> resident;
    return resident < 0 ? -1 : resident * 4096;
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
            QAbstractItemView* list = view->List();
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
        QTableView* list = fail.List();
        QHeaderView* header = list->horizontalHeader();
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
        QTableView& list = *complete.List();
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
        // The page's count of rows per path follows removals and empties: the row of the same
        // path left behind is found by the next notice, and no longer once it went too.
        QCOMPARE(fail.RowOf(QStringLiteral("/l/a2.txt"), QStringLiteral("/dir/a.txt")), 1);
        QCOMPARE(fail.RowOf(QStringLiteral("/l/a.txt"), QStringLiteral("/Dir/A.txt")), -1);
        for (const int expected : {1, 0}) {
            list.notices = {Notice(200, "/DIR/A.TXT")};
            QCOMPARE(fail.RecheckFailed(list).size(), size_t(expected));
            QCOMPARE(list.notices.size(), size_t(1 - expected));
        }
        QCOMPARE(fail.RowOf(QStringLiteral("/l/a2.txt"), QStringLiteral("/dir/a.txt")), -1);
        fail.RemoveAll();
        QCOMPARE(fail.RowOf(QStringLiteral("/l/b.txt"), QStringLiteral("/dir/b.txt")), -1);
        fail.AddResultRow(Texts(QStringLiteral("/l/b.txt"), QStringLiteral("/dir/b.txt")));
        QCOMPARE(fail.RowOf(QStringLiteral("/l/b.txt"), QStringLiteral("/dir/b.txt")), 0);
        QCOMPARE(fail.RowOf(QStringLiteral("/l/B.txt"), QStringLiteral("/dir/b.txt")), -1); // local paths are exact
        // On a page long enough to show new rows only every 100 ms, a row just added is found
        // at once: a failure restored from the journal is never listed twice.
        std::vector<CResultModel::Row> many(CResultModel::kShowAtOnceRows);
        for (size_t i = 0; i < many.size(); ++i)
            many[i].texts = {QStringLiteral("/l/m%1").arg(i), QStringLiteral("/m/%1").arg(i), {}, {}};
        fail.Model()->Append(std::move(many));
        fail.AddResultRow(Texts(QStringLiteral("/l/late.txt"), QStringLiteral("/dir/late.txt")));
        QCOMPARE(fail.RowOf(QStringLiteral("/l/late.txt"), QStringLiteral("/dir/late.txt")), CResultModel::kShowAtOnceRows + 1);
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

    void aLongFailPageIsResentAStepATurnInOrderAndStopsWithTheSession()
    {
        // Two steps and a bit: each step's orders go out on a turn of their own, in order, with
        // its progress; a failure that comes meanwhile stays; the command waits for the end.
        constexpr int kRows = 2 * CFailView::kResendStep + 5;
        bool allowed = true;
        CFailView fail;
        fail.SetResendAllowed([&allowed] { return allowed; });
        std::vector<CResultModel::Row> rows;
        for (int i = 0; i < kRows; ++i)
            rows.push_back({{QStringLiteral("/l/f%1").arg(i), QStringLiteral("/x/f%1").arg(i), QStringLiteral("1"),
                             QStringLiteral("동기화 실패")}, {}, 0, nullptr});
        fail.Model()->Append(std::move(rows));
        QSignalSpy orders(&fail, &CFailView::resendRequested);
        QSignalSpy progress(&fail, &CFailView::resendProgress);
        fail.MenuAction(32816)->trigger();
        QCOMPARE(orders.size(), 1); // the first step at once, the rest later
        QCOMPARE(fail.RowCount(), kRows - CFailView::kResendStep);
        QVERIFY(fail.IsResending());
        QVERIFY(!fail.MenuAction(32816)->isEnabled());
        fail.AddResultRow(Texts(QStringLiteral("/l/late"), QStringLiteral("/x/late")));
        QTRY_VERIFY(!fail.IsResending());
        QCOMPARE(orders.size(), 3);
        std::vector<std::string> sources;
        for (const auto& signal : orders)
            for (const CUploadOrder& order : signal.at(0).value<std::vector<CUploadOrder>>())
                sources.push_back(order.source);
        QCOMPARE(int(sources.size()), kRows);
        for (int i : {0, CFailView::kResendStep - 1, CFailView::kResendStep, kRows - 1})
            QCOMPARE(sources[size_t(i)], QStringLiteral("/l/f%1").arg(i).toStdString());
        QCOMPARE(progress.size(), 3);
        QCOMPARE(progress.at(0).at(0).toInt(), CFailView::kResendStep);
        QCOMPARE(progress.at(2).at(0).toInt(), kRows);
        QCOMPARE(progress.at(2).at(1).toInt(), kRows);
        QCOMPARE(fail.RowCount(), 1); // the late failure
        QCOMPARE(fail.Model()->Text(0, 0), QStringLiteral("/l/late"));
        QVERIFY(fail.MenuAction(32816)->isEnabled());

        // The session ends after the first step: the rest stays on the page, in its order.
        fail.RemoveAll();
        rows.clear();
        for (int i = 0; i < kRows; ++i)
            rows.push_back({{QStringLiteral("/l/g%1").arg(i), QStringLiteral("/x/g%1").arg(i), QStringLiteral("1"),
                             QStringLiteral("동기화 실패")}, {}, 0, nullptr});
        fail.Model()->Append(std::move(rows));
        orders.clear();
        progress.clear();
        fail.MenuAction(32816)->trigger();
        allowed = false;
        QTRY_VERIFY(!fail.IsResending());
        QCOMPARE(orders.size(), 1);
        QCOMPARE(fail.RowCount(), kRows - CFailView::kResendStep);
        QCOMPARE(fail.Model()->Text(0, 0), QStringLiteral("/l/g%1").arg(CFailView::kResendStep));
        QCOMPARE(progress.last().at(1).toInt(), 0); // stopped short
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
        QCOMPARE(find.Model()->Data(0), 1);
        QCOMPARE(find.Model()->Text(1, 1), QStringLiteral("12,345,678,901"));
        QCOMPARE(find.Model()->Data(1), 0);
        QCOMPARE(find.Model()->Text(2, 1), QStringLiteral("999"));
        QCOMPARE(find.Model()->Text(2, 2), QString());
        find.ShowSearchResults({});
        QCOMPARE(find.RowCount(), 0);
    }

    void aLargePageKeepsItsRowsCompactAndGivesBackEveryText()
    {
        // 300,000 rows of 300 folders, appended in batches. Kept as one QStringList and icon per
        // row they took over 500 bytes each (150 MB here); compact, well under half of that.
        // The bound leaves room for the allocator and the batch on its way in.
        constexpr int kRows = 300000;
        auto local = [](int i) {
            return QStringLiteral("/home/user/업로드/d%1/f%2.bin").arg(i / 1000, 3, 10, QLatin1Char('0')).arg(i, 6, 10, QLatin1Char('0'));
        };
        auto remote = [](int i) { return QStringLiteral("up/d%1/f%2.bin").arg(i / 1000).arg(i); };
        auto size = [](int i) { return QStringLiteral("%1 KB").arg(i % 5000); };
        CCompleteResultView complete;
        CResultModel& model = *complete.Model();
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        const qint64 before = ResidentBytes();
        QVERIFY(before > 0);
        std::vector<CResultModel::Row> batch;
        for (int i = 0; i < kRows; ++i) {
            batch.push_back({{local(i), remote(i), size(i), QStringLiteral("동기화 완료")}, {}, 0, nullptr});
            if (batch.size() == 20000) { // the tester walks every row after each insertion
                model.Append(std::move(batch));
                batch.clear();
            }
        }
        const qint64 grown = ResidentBytes() - before;
        QCOMPARE(model.rowCount(), kRows);
        QCOMPARE(inserted.count(), kRows / 20000); // one insertion a batch
        QVERIFY2(grown < qint64(kRows) * 250, qPrintable(QStringLiteral("%1 bytes a row").arg(grown / kRows)));
        for (int i : {0, 999, 1000, 123456, kRows - 1}) {
            QCOMPARE(model.Text(i, 0), local(i));
            QCOMPARE(model.Text(i, 1), remote(i));
            QCOMPARE(model.Text(i, 2), size(i));
            QCOMPARE(model.index(i, 3).data().toString(), QStringLiteral("동기화 완료"));
        }

        // Ctrl+A, Ctrl+C over every row.
        complete.List()->setFocus();
        QTest::keyClick(complete.List(), Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(complete.SelectedRows().size(), kRows);
        QTest::keyClick(complete.List(), Qt::Key_C, Qt::ControlModifier);
        const QString copied = QApplication::clipboard()->text();
        QCOMPARE(copied.count(QStringLiteral("\r\n")), kRows);
        QVERIFY(copied.startsWith(local(0) + QLatin1Char('\t') + remote(0) + QLatin1Char('\t') + size(0) +
                                  QStringLiteral("\t동기화 완료\r\n")));
        QVERIFY(copied.endsWith(QLatin1Char('\t') + remote(kRows - 1) + QLatin1Char('\t') + size(kRows - 1) +
                                QStringLiteral("\t동기화 완료\r\n")));

        // Rows that come one at a time to a long page: its views hear of them together, within
        // a tenth of a second; what the page says of its rows is exact meanwhile, and a removal
        // tells the views of the rows they have not heard of first.
        inserted.clear();
        for (int i = kRows; i < kRows + 50; ++i)
            model.Append({{local(i), remote(i), size(i), QStringLiteral("동기화 완료")}, {}, 0, nullptr});
        QCOMPARE(model.rowCount(), kRows);
        QCOMPARE(model.Text(kRows + 49, 1), remote(kRows + 49));
        QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), kRows + 50, 2000);
        QCOMPARE(inserted.count(), 1);
        model.Append({{local(0), remote(0), size(0), QStringLiteral("동기화 완료")}, {}, 0, nullptr});
        model.Remove(kRows); // the first of the fifty
        QCOMPARE(model.rowCount(), kRows + 50);
        QCOMPARE(model.Text(kRows + 49, 1), remote(0));
        QCOMPARE(complete.RowCount(), kRows + 50);

        // A steady stream faster than the period, to a long page: its views hear of it while it
        // lasts, the first time within a period or so and then about once a period, not only
        // once it stops.
        CCompleteResultView streamed;
        CResultModel& fed = *streamed.Model();
        std::vector<CResultModel::Row> first;
        for (int i = 0; i < CResultModel::kShowAtOnceRows; ++i)
            first.push_back({{local(i), remote(i), size(i), QStringLiteral("동기화 완료")}, {}, 0, nullptr});
        fed.Append(std::move(first));
        QSignalSpy heard(&fed, &QAbstractItemModel::rowsInserted);
        QElapsedTimer stream;
        stream.start();
        int firstHeard = -1;
        for (int i = 0; i < 60; ++i) {
            fed.Append({{local(i), remote(i), size(i), QStringLiteral("동기화 완료")}, {}, 0, nullptr});
            QTest::qWait(10);
            if (firstHeard < 0 && heard.count() > 0)
                firstHeard = i;
        }
        const qint64 streamMs = stream.elapsed();
        QVERIFY2(firstHeard >= 0 && firstHeard < 30, qPrintable(QStringLiteral("first heard after row %1").arg(firstHeard)));
        QVERIFY2(heard.count() >= 3 && heard.count() <= streamMs / CResultModel::kShowEveryMs + 1,
                 qPrintable(QStringLiteral("%1 insertions in %2 ms").arg(heard.count()).arg(streamMs)));
        QTRY_COMPARE_WITH_TIMEOUT(fed.rowCount(), CResultModel::kShowAtOnceRows + 60, 2000);

        // Delete empties it.
        QSignalSpy cleared(&complete, &CResultView::clearedByUser);
        QTest::keyClick(complete.List(), Qt::Key_Delete);
        QCOMPARE(cleared.count(), 1);
        QCOMPARE(model.rowCount(), 0);
        QCOMPARE(model.Text(0, 0), QString());
    }

    void everyTextComesBackAsAppendedAfterRemovals()
    {
        // Texts of every shape in every column kind: paths with and without a folder, sizes in
        // every form and texts that only look like sizes, a name longer than 32,767 characters.
        const QString longName = QString(40000, QLatin1Char('n')) + QStringLiteral(".txt");
        const QList<QStringList> shapes = {
            {QStringLiteral("/l/a.txt"), QStringLiteral("a.txt"), QStringLiteral("0"), QStringLiteral("동기화 실패")},
            {QStringLiteral("/l/sub/"), QStringLiteral("/"), QStringLiteral("1023"), QStringLiteral("읽을 수 없음 (Permission denied)")},
            {QString(), QString(), QString(), QString()},
            {QStringLiteral("/l/") + longName, longName, QStringLiteral("5120 MB"), QStringLiteral("동기화 실패")},
            {QStringLiteral("상대/파일.txt"), QStringLiteral("//x//y"), QStringLiteral("???"), QStringLiteral("x")},
            {QStringLiteral("/l/b"), QStringLiteral("b"), QStringLiteral("007"), QStringLiteral("")},
            {QStringLiteral("/m/a.txt"), QStringLiteral("m/a.txt"), QStringLiteral("1,2"), QStringLiteral("동기화 실패")},
            {QStringLiteral("/m/c"), QStringLiteral("m/c"), QStringLiteral("1,048,576 KB"), QStringLiteral("동기화 실패")},
            {QStringLiteral("/m/d"), QStringLiteral("m/d"), QStringLiteral("99999999999999999999999"), QStringLiteral("-")},
            {QStringLiteral("/m/e"), QStringLiteral("m/e"), QStringLiteral("12 kb"), QStringLiteral("-")},
        };
        CFailView fail;
        CResultModel& model = *fail.Model();
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        // Enough rows that removing most of them makes the page pack its names again. Every
        // optional part at once on some rows: an icon, a negative item data, a key.
        const QIcon icons[] = {QIcon(), QIcon(QPixmap(4, 4)), QIcon(QPixmap(8, 8))};
        std::vector<int> anchors(1201);
        struct Parts {
            qint64 icon;
            int data;
            const void* key;
        };
        QList<QStringList> expected;
        std::vector<Parts> parts;
        for (int i = 0; i < 1200; ++i) {
            QStringList texts = shapes[i % shapes.size()];
            if (i % shapes.size() != 3) { // every row its own; half of them the same name in both paths
                const QString own = QString(60, QLatin1Char('z')) + QString::number(i);
                texts[0] += own;
                if (i % 2 == 0)
                    texts[1] += own;
            }
            expected.append(texts);
            const QIcon& icon = icons[i % 3];
            parts.push_back({icon.cacheKey() * !icon.isNull(), i % 2 ? -i : i, i % 4 ? &anchors[size_t(i)] : nullptr});
            model.Append({texts, icon, parts.back().data, parts.back().key});
        }
        auto check = [&] {
            QCOMPARE(model.rowCount(), int(expected.size()));
            for (int row = 0; row < expected.size(); ++row) {
                for (int column = 0; column < 4; ++column)
                    if (model.Text(row, column) != expected[row][column])
                        QFAIL(qPrintable(QStringLiteral("row %1 column %2: %3").arg(row).arg(column).arg(model.Text(row, column).left(80))));
                const Parts& p = parts[size_t(row)];
                const QIcon icon = model.Icon(row);
                if (icon.cacheKey() * !icon.isNull() != p.icon || model.Data(row) != p.data || model.Key(row) != p.key ||
                    model.index(row, 0).data(Qt::UserRole).toInt() != p.data)
                    QFAIL(qPrintable(QStringLiteral("row %1: icon, data or key").arg(row)));
                if (p.key && model.RowOfKey(p.key) != row)
                    QFAIL(qPrintable(QStringLiteral("row %1 not found by its key").arg(row)));
            }
        };
        check();
        QCOMPARE(model.Data(7), -7);
        for (int n = 0; n < 1000; ++n) {
            const int row = (n * 7919) % int(expected.size());
            model.Remove(row);
            expected.removeAt(row);
            parts.erase(parts.begin() + row);
        }
        check();
        model.Append({shapes[3], icons[2], -1, &anchors[1200]});
        expected.append(shapes[3]);
        parts.push_back({icons[2].cacheKey(), -1, &anchors[1200]});
        check();
        model.Clear();
        expected.clear();
        parts.clear();
        check();
        model.Append({shapes[1], {}, 0, nullptr});
        expected.append(shapes[1]);
        parts.push_back({0, 0, nullptr});
        check();
    }

    void rowsAreFoundByTheirKeysAfterRemovals()
    {
        CProcessView process;
        QAbstractItemModelTester tester(process.Model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        std::vector<int> requests(1000);
        std::vector<const void*> keys; // the rows' keys, in list order
        for (int i = 0; i < 1000; ++i) {
            // Some rows without a key, as rows added without one.
            const void* key = i % 10 == 5 ? nullptr : &requests[size_t(i)];
            process.AddResultRow(Texts(QStringLiteral("/l/d%1/f%2").arg(i % 7).arg(i), QStringLiteral("f%1").arg(i)),
                                 QString(), key);
            keys.push_back(key);
        }
        auto check = [&] {
            QCOMPARE(process.RowCount(), int(keys.size()));
            for (int row = 0; row < int(keys.size()); ++row) {
                QCOMPARE(process.Model()->Key(row), keys[size_t(row)]);
                if (keys[size_t(row)])
                    QCOMPARE(process.RowOfKey(keys[size_t(row)]), row);
            }
        };
        check();
        // Settled in another order than they came.
        for (int i : {0, 999, 500, 1, 998, 501, 250}) {
            const int row = process.RowOfKey(&requests[size_t(i)]);
            QVERIFY(row >= 0);
            process.RemoveRow(row);
            keys.erase(keys.begin() + row);
            QCOMPARE(process.RowOfKey(&requests[size_t(i)]), -1);
        }
        check();
        for (int n = 0; n < 400; ++n) {
            const int row = (n * 31) % int(keys.size());
            process.RemoveRow(row);
            keys.erase(keys.begin() + row);
        }
        check();
        // A key given to two rows (sent once more): the first of them answers, then the next.
        process.AddResultRow(Texts(QStringLiteral("/l/x"), QStringLiteral("x")), QString(), &requests[0]);
        process.AddResultRow(Texts(QStringLiteral("/l/y"), QStringLiteral("y")), QString(), &requests[0]);
        const int first = process.RowCount() - 2;
        QCOMPARE(process.RowOfKey(&requests[0]), first);
        process.RemoveRow(first);
        QCOMPARE(process.RowOfKey(&requests[0]), first);
        QCOMPARE(process.Model()->Text(first, 0), QStringLiteral("/l/y"));
        process.RemoveAll();
        QCOMPARE(process.RowOfKey(&requests[0]), -1);
        QCOMPARE(process.Model()->Key(0), nullptr);
        process.AddResultRow(Texts(QStringLiteral("/l/z"), QStringLiteral("z")), QString(), &requests[2]);
        QCOMPARE(process.RowOfKey(&requests[2]), 0);
        QCOMPARE(process.RowOfKey(&requests[3]), -1);
    }

    void aBurstOfChangesIsPaintedAtTheWindowsPaceAndTheLastOneIsPainted()
    {
        // Rows arriving hundreds of times a second: the page's window paints at most once per
        // interval, and what came last is painted once the burst is over.
        QWidget window;
        CCompleteResultView page(&window);
        page.resize(600, 200);
        window.resize(600, 200);
        auto* pacer = new CPaintPacer(window, 25);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        int paints = 0;
        struct Counter : QObject {
            int& n;
            explicit Counter(int& count) : n(count) {}
            bool eventFilter(QObject*, QEvent* e) override
            {
                n += e->type() == QEvent::Paint;
                return false;
            }
        } counter(paints);
        page.List()->viewport()->installEventFilter(&counter);
        QTest::qWait(50);
        paints = 0;
        QElapsedTimer burst;
        burst.start();
        for (int i = 0; i < 300; ++i) {
            page.AddResultRow(Texts(QStringLiteral("/l/f%1").arg(i), QStringLiteral("f%1").arg(i)));
            page.List()->scrollToBottom();
            QCoreApplication::processEvents();
        }
        const qint64 ms = burst.elapsed();
        QVERIFY2(paints <= ms / 25 + 2, qPrintable(QStringLiteral("%1 paints in %2 ms").arg(paints).arg(ms)));
        if (ms < 300 * 25) // changes came faster than the pace: some paints waited
            QVERIFY(pacer->Held() > 0);
        const int afterBurst = paints;
        QTRY_VERIFY(paints > afterBurst); // the last rows are painted, not held for ever
        QVERIFY(page.List()->viewport()->visibleRegion().contains(page.List()->visualRect(page.Model()->index(299, 0))));
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
