// The remote pane with a host that records what it is asked for: size texts, the model, the
// rows of a listing, folder navigation, the requests of every command and the messages that
// refuse them, and the two name dialogs.

#include "app/prompt.h"
#include "panes/folder_dlg.h"
#include "panes/remote_view.h"
#include "panes/rename_dlg.h"
#include "panes/size_text.h"
#include "protocol/message_ids.h"
#include "res/menu_resource.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMimeDatabase>
#include <QPushButton>
#include <QRegularExpression>
#include "tests/common/menu_keys.h"
#include "tests/common/scripted_prompt.h"

#include <QTest>

using namespace talvex;

namespace {

struct Sent {
    uint32_t id;
    QString text1, text2;
    bool operator==(const Sent& o) const { return id == o.id && text1 == o.text1 && text2 == o.text2; }
};

class RecordingHost final : public IRemoteHost {
public:
    QList<Sent> sent;
    QStringList browsed;
    QList<int> statuses;
    bool checkSync = false;
    bool detail = false;
    bool ready = true;
    void SendCommand(std::unique_ptr<CThreadCommand> c) override
    {
        sent.append({c->messageId, QString::fromStdString(c->text1), QString::fromStdString(c->text2)});
    }
    void RequestBrowse(const QString& folder) override { browsed.append(folder); }
    void SetStatus(int kind) override { statuses.append(kind); }
    bool IsDetailSize() const override { return detail; }
    void SetCheckSync(bool check) override { checkSync = check; }
    bool IsRemoteReady() const override { return ready; }
};



CRemoteEntry Entry(const char* name, int64_t size, int kind, OleDate modified = MakeOleDate(2024, 3, 5, 7, 8, 9))
{
    CRemoteEntry e;
    e.name = name;
    e.size = size;
    e.kind = kind;
    e.modified = modified;
    return e;
}

// /a (folder), /b.txt (file), /c (folder), /D.bin (file)
CRemoteEntryList Sample()
{
    return {Entry("a", 0, 1), Entry("b.txt", 1500, 0), Entry("c", 0, 1), Entry("D.bin", 5368709120LL, 0)};
}

QString Cell(const CRemoteView& view, int row, int column)
{
    return view.Model()->index(row, column).data().toString();
}

QStringList Names(const CRemoteView& view)
{
    QStringList names;
    for (int r = 0; r < view.Model()->rowCount(); ++r)
        names.append(Cell(view, r, 0));
    return names;
}

void Select(CRemoteView& view, std::initializer_list<int> rows)
{
    QItemSelectionModel* sel = view.List()->selectionModel();
    sel->clearSelection();
    for (int r : rows)
        sel->select(view.Model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

} // namespace

class RemotePaneTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_prompt.Clear();
        SetPrompt(&m_prompt);
        m_host = RecordingHost();
    }
    void cleanup() { SetPrompt(nullptr); }

    // ---- size texts ---------------------------------------------------------------------

    void sizeTexts_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("detailed");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << false << "0";
        QTest::newRow("1 byte") << qint64(1) << false << "1";
        QTest::newRow("1025 bytes") << qint64(1025) << false << "1 KB";
        QTest::newRow("just above 1 MB") << qint64(1048577) << false << "1 MB";
        QTest::newRow("2 MB less 1") << qint64(2097151) << false << "1 MB";
        QTest::newRow("1023 bytes") << qint64(1023) << false << "1023";
        QTest::newRow("1 KB") << qint64(1024) << false << "1 KB";
        QTest::newRow("just below 1 MB") << qint64(1048575) << false << "1023 KB";
        QTest::newRow("1 MB") << qint64(1048576) << false << "1 MB";
        QTest::newRow("gigabytes stay MB") << qint64(5368709120LL) << false << "5120 MB";
        QTest::newRow("negative") << qint64(-1) << false << "";
        QTest::newRow("detail small") << qint64(999) << true << "999";
        QTest::newRow("detail 1000") << qint64(1000) << true << "1,000";
        QTest::newRow("detail MB") << qint64(1048576) << true << "1,048,576";
        QTest::newRow("detail 7 digits") << qint64(1234567) << true << "1,234,567";
        QTest::newRow("detail large") << qint64(123456789012LL) << true << "123,456,789,012";
        QTest::newRow("detail zero") << qint64(0) << true << "0";
        QTest::newRow("detail negative") << qint64(-5) << true << "";
    }
    void sizeTexts()
    {
        QFETCH(qint64, size);
        QFETCH(bool, detailed);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(SizeText(size, detailed)), text);
    }

    // ---- model and rows -----------------------------------------------------------------

    void theModelKeepsItsContractThroughEveryChange()
    {
        CRemoteListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        CRemoteEntryList entries = Sample();
        model.Fill(entries, true, false);
        QCOMPARE(model.rowCount(), 5);
        QCOMPARE(model.columnCount(), 4);
        model.Append(CRemoteListModel::FileRow(QStringLiteral("new.txt")));
        model.SetNameAt(1, QStringLiteral("renamed"));
        model.RemoveAt(0);
        model.RemoveAt(99); // nothing there: ignored
        model.SetNameAt(-1, QStringLiteral("x"));
        QCOMPARE(model.rowCount(), 5);
        CRemoteEntryList none;
        model.Fill(none, false, false);
        QCOMPARE(model.rowCount(), 0);
        // The headers come from the string table.
        QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("파일명"));
        QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("파일크기"));
        QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QStringLiteral("파일유형"));
        QCOMPARE(model.headerData(3, Qt::Horizontal).toString(), QStringLiteral("수정일자"));
    }

    void aListingFillsNameSizeTypeAndTime()
    {
        CRemoteView view(m_host);
        CRemoteEntryList entries = Sample();
        entries.push_back(Entry("bad-date", 10, 0, OleDate{0.0, 1}));
        view.ShowListing(entries);
        QCOMPARE(Names(view), (QStringList{"a", "b.txt", "c", "D.bin", "bad-date"})); // listing order, no ".." at "/"
        QCOMPARE(view.PathEdit()->text(), QStringLiteral("/"));
        QCOMPARE(Cell(view, 1, 1), QStringLiteral("1 KB"));
        QCOMPARE(Cell(view, 3, 1), QStringLiteral("5120 MB"));
        QCOMPARE(Cell(view, 1, 3), QStringLiteral("2024-03-05 07:08"));
        QCOMPARE(Cell(view, 4, 3), QString()); // an invalid date shows nothing
        QCOMPARE(view.Model()->index(0, 0).data(CRemoteListModel::FolderRole).toInt(), 1);
        QCOMPARE(view.Model()->index(1, 0).data(CRemoteListModel::FolderRole).toInt(), 0);
        // Type names by name alone.
        const QMimeDatabase db;
        QCOMPARE(Cell(view, 1, 2), db.mimeTypeForFile(QStringLiteral("b.txt"), QMimeDatabase::MatchExtension).comment());
        QCOMPARE(Cell(view, 0, 2), db.mimeTypeForName(QStringLiteral("inode/directory")).comment());
        QVERIFY(!view.Model()->index(0, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
        QVERIFY(!view.Model()->index(1, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
        QCOMPARE(view.Model()->index(1, 1).data(Qt::TextAlignmentRole).toInt() & Qt::AlignRight, int(Qt::AlignRight));

        m_host.detail = true;
        view.ShowListing(Sample());
        QCOMPARE(Cell(view, 1, 1), QStringLiteral("1,500"));
        QCOMPARE(Cell(view, 3, 1), QStringLiteral("5,368,709,120"));
        QCOMPARE(view.SiteLabel()->text(), QStringLiteral("  원격 사이트  "));
    }

    void rowsAreFoundRenamedRemovedAndAddedWithoutRegardToCase()
    {
        CRemoteView view(m_host);
        view.ShowListing(Sample());
        QVERIFY(view.HasItemNamed(QStringLiteral("B.TXT")));
        QVERIFY(!view.HasItemNamed(QStringLiteral("b")));
        view.RenameItemNamed(QStringLiteral("A"), QStringLiteral("z"));
        QCOMPARE(Names(view), (QStringList{"z", "b.txt", "c", "D.bin"}));
        view.RenameItemNamed(QStringLiteral("C"), QString()); // moved away: the row goes
        QCOMPARE(Names(view), (QStringList{"z", "b.txt", "D.bin"}));
        view.RemoveItemNamed(QStringLiteral("d.BIN"));
        view.RemoveItemNamed(QStringLiteral("missing"));
        QCOMPARE(Names(view), (QStringList{"z", "b.txt"}));

        view.AddFolderRow(QStringLiteral("Z")); // already there
        view.AddFileRow(QStringLiteral("B.txt"), QStringLiteral("3 KB"));
        QCOMPARE(view.Model()->rowCount(), 2);
        view.AddFolderRow(QStringLiteral("up"));
        view.AddFileRow(QStringLiteral("new.txt"), QStringLiteral("3 KB"));
        // Added rows show when they were added, in the form of a listing's times.
        const QString today = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
        const QRegularExpression dateAndTime(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}$"));
        QCOMPARE(Cell(view, 2, 0), QStringLiteral("up"));
        QCOMPARE(Cell(view, 2, 1), QStringLiteral("0"));
        QVERIFY(Cell(view, 2, 3).startsWith(today) && dateAndTime.match(Cell(view, 2, 3)).hasMatch());
        QCOMPARE(view.Model()->index(2, 0).data(CRemoteListModel::FolderRole).toInt(), 1);
        QCOMPARE(Cell(view, 3, 1), QStringLiteral("3 KB"));
        QVERIFY(Cell(view, 3, 3).startsWith(today) && dateAndTime.match(Cell(view, 3, 3)).hasMatch());
        QCOMPARE(view.Model()->index(3, 0).data(CRemoteListModel::FolderRole).toInt(), 0);
    }

    // ---- paths and navigation -------------------------------------------------------------

    void remotePathsFoldAndSplit()
    {
        QCOMPARE(ParentFolder(QStringLiteral("/a/b/")), QStringLiteral("/a/"));
        QCOMPARE(ParentFolder(QStringLiteral("/a/")), QStringLiteral("/"));
        QCOMPARE(ParentFolder(QStringLiteral("/")), QStringLiteral("/"));
        QCOMPARE(FoldSlashes(QStringLiteral("//x///y//")), QStringLiteral("/x/y/"));
        QCOMPARE(NameInShownFolder(QStringLiteral("/x/a/"), QStringLiteral("/x/")), QStringLiteral("a"));
        QCOMPARE(NameInShownFolder(QStringLiteral("/X/b.txt"), QStringLiteral("/x/")), QStringLiteral("b.txt"));
        QCOMPARE(NameInShownFolder(QStringLiteral("/y/b.txt"), QStringLiteral("/x/")), QString());
        QCOMPARE(NameInShownFolder(QStringLiteral("/x/a/b"), QStringLiteral("/x/")), QString());
        QCOMPARE(NameInShownFolder(QStringLiteral("/top"), QStringLiteral("/")), QStringLiteral("top"));
        QCOMPARE(NameInShownFolder(QStringLiteral("nothing"), QStringLiteral("/")), QString());
    }

    void foldersOpenDownAndUpWithTheParentRowOnlyBelowTheRoot()
    {
        CRemoteView view(m_host);
        QCOMPARE(view.CurrentPath(), QStringLiteral("/"));
        view.ShowListing(Sample());
        Select(view, {1});
        view.OpenSelected(); // a file: nothing
        QVERIFY(m_host.browsed.isEmpty());
        Select(view, {1, 2, 0}); // several: the first selected row in row order ("a")
        view.OpenSelected();
        QCOMPARE(view.CurrentPath(), QStringLiteral("/a/"));
        QCOMPARE(m_host.browsed, QStringList{"/a/"});
        QCOMPARE(view.PathEdit()->text(), QStringLiteral("/")); // until the listing comes
        view.ShowListing({Entry("b", 0, 1)});
        QCOMPARE(Names(view), (QStringList{"..", "b"}));
        QCOMPARE(view.PathEdit()->text(), QStringLiteral("/a/"));
        QCOMPARE(view.Model()->index(0, 0).data(CRemoteListModel::FolderRole).toInt(), 1);
        QCOMPARE(Cell(view, 0, 1), QString());
        QCOMPARE(Cell(view, 0, 2), QString());
        QCOMPARE(Cell(view, 0, 3), QString());
        QVERIFY(!(view.Model()->flags(view.Model()->index(0, 0)) & Qt::ItemIsEditable));

        // Enter opens too.
        view.List()->setFocus();
        Select(view, {1});
        QTest::keyClick(view.List(), Qt::Key_Return);
        QCOMPARE(view.CurrentPath(), QStringLiteral("/a/b/"));
        view.ShowListing({});
        QCOMPARE(Names(view), QStringList{".."});
        // A double click on "..": up one level, twice.
        view.resize(400, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        Select(view, {0});
        const QRect cell = view.List()->visualRect(view.Model()->index(0, 0));
        QTest::mouseDClick(view.List()->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(view.CurrentPath(), QStringLiteral("/a/"));
        view.ShowListing({Entry("b", 0, 1)});
        Select(view, {0});
        view.OpenSelected();
        QCOMPARE(view.CurrentPath(), QStringLiteral("/"));
        view.ShowListing(Sample());
        QCOMPARE(Names(view).first(), QStringLiteral("a")); // no ".." at the root
        QCOMPARE(m_host.browsed, (QStringList{"/a/", "/a/b/", "/a/", "/"}));
    }

    void backspaceGoesUpWithTheFolderLeftCurrentAndF5ListsAgain()
    {
        CRemoteView view(m_host);
        view.resize(500, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.List()->setFocus();
        view.ShowListing(Sample());
        QTest::keyClick(view.List(), Qt::Key_Backspace); // at the root: nowhere to go
        QVERIFY(m_host.browsed.isEmpty());
        Select(view, {2});
        QTest::keyClick(view.List(), Qt::Key_Enter);
        QCOMPARE(view.CurrentPath(), QStringLiteral("/c/"));
        view.ShowListing({Entry("d", 0, 1)});
        Select(view, {1});
        QTest::keyClick(view.List(), Qt::Key_Return);
        view.ShowListing({});
        QCOMPARE(view.CurrentPath(), QStringLiteral("/c/d/"));
        QTest::keyClick(view.List(), Qt::Key_Backspace);
        QCOMPARE(view.CurrentPath(), QStringLiteral("/c/"));
        view.ShowListing({Entry("x", 0, 0), Entry("d", 0, 1)});
        // The folder just left is the current and selected row, so Enter goes back into it.
        QCOMPARE(view.List()->currentIndex().row(), 2);
        QCOMPARE(view.SelectedRows(), QList<int>{2});
        QTest::keyClick(view.List(), Qt::Key_Backspace);
        view.ShowListing(Sample());
        QCOMPARE(view.List()->currentIndex().row(), 2); // "c"
        QTest::keyClick(view.List(), Qt::Key_F5);
        QCOMPARE(m_host.browsed, (QStringList{"/c/", "/c/d/", "/c/", "/", "/"}));
        QVERIFY(!view.IsAwaitingListing()); // the rows on show are still the folder's own
        // Without a session the keys do nothing.
        m_host.ready = false;
        QTest::keyClick(view.List(), Qt::Key_F5);
        Select(view, {0});
        QTest::keyClick(view.List(), Qt::Key_Return);
        QCOMPARE(m_host.browsed.size(), 5);
    }

    void keysActOnWhateverMadeARowCurrent()
    {
        CRemoteView view(m_host);
        view.ShowListing({Entry("a", 0, 1), Entry("b.txt", 1500, 0)});
        view.resize(500, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QApplication::setActiveWindow(&view);
        QTreeView& list = *view.List();
        list.setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(list.hasFocus());
        // The focus made "a" current without choosing it; Home leaves it there; Enter opens it.
        QCOMPARE(list.currentIndex().row(), 0);
        QTest::keyClick(&list, Qt::Key_Home);
        QCOMPARE(view.SelectedRows(), QList<int>{0});
        QTest::keyClick(&list, Qt::Key_Return);
        QCOMPARE(view.CurrentPath(), QStringLiteral("/a/"));
        // The rows were replaced: End goes to the last row, not the first.
        view.ShowListing({Entry("x", 0, 1), Entry("y", 0, 1)});
        QCOMPARE(Names(view), (QStringList{"..", "x", "y"}));
        QTest::keyClick(&list, Qt::Key_End);
        QCOMPARE(view.SelectedRows(), QList<int>{2});
        QTest::keyClick(&list, Qt::Key_Enter);
        QCOMPARE(view.CurrentPath(), QStringLiteral("/a/y/"));
        // Page Up from nothing current: ".."; Enter goes up, with the folder left current.
        view.ShowListing({});
        QTest::keyClick(&list, Qt::Key_PageUp);
        QCOMPARE(view.SelectedRows(), QList<int>{0});
        QTest::keyClick(&list, Qt::Key_Return);
        QCOMPARE(view.CurrentPath(), QStringLiteral("/a/"));
        view.ShowListing({Entry("x", 0, 1), Entry("y", 0, 1)});
        QCOMPARE(list.currentIndex().row(), 2);
        // Type-ahead: Enter opens what it found.
        QTest::keyClicks(&list, QStringLiteral("x"));
        QCOMPARE(view.SelectedRows(), QList<int>{1});
        QTest::keyClick(&list, Qt::Key_Return);
        QCOMPARE(view.CurrentPath(), QStringLiteral("/a/x/"));
        QCOMPARE(m_host.browsed, (QStringList{"/a/", "/a/y/", "/a/", "/a/x/"}));

        // Page Down, then Shift+F10: 삭제 (the third entry) takes the row the key made current.
        view.ShowListing({Entry("f.txt", 10, 0), Entry("g.txt", 10, 0)});
        QTest::keyClick(&list, Qt::Key_PageDown);
        QCOMPARE(view.SelectedRows(), QList<int>{2});
        m_prompt.answers = {true};
        test::AnswerNextMenu(3);
        QTest::keyClick(&list, Qt::Key_F10, Qt::ShiftModifier);
        QCOMPARE(m_host.sent, (QList<Sent>{{UM_DELFILE, "/a/x/g.txt", ""}}));
        // A click on the empty part chooses nothing and leaves the row current: the menu key's
        // 동기화 확인 (the fourth entry) checks it.
        const QRect last = list.visualRect(view.Model()->index(2, 0));
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, QPoint(last.left() + 5, last.bottom() + 40));
        QVERIFY(view.SelectedRows().isEmpty());
        QCOMPARE(list.currentIndex().row(), 2);
        test::AnswerNextMenu(4);
        test::PressMenuKey(list);
        QCOMPARE(m_host.sent.size(), 2);
        QCOMPARE(m_host.sent.last(), (Sent{UM_CHECKSYNC, "/a/x/g.txt", ""}));
    }

    void theContextMenuOffersNewRenameDeleteCheckInThatOrder()
    {
        CRemoteView view(m_host);
        view.resize(500, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.ShowListing(Sample());
        view.List()->setFocus();
        Select(view, {1});
        view.List()->setCurrentIndex(view.Model()->index(1, 0));
        // The menu as it is shown, opened from the keyboard (Shift+F10): its entries in order.
        QStringList shown;
        QTimer::singleShot(0, [&shown] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu);
            for (QAction* action : menu->actions())
                shown.append(action->text());
            menu->close();
        });
        QTest::keyClick(view.List(), Qt::Key_F10, Qt::ShiftModifier);
        QCOMPARE(shown, (QStringList{"폴더 만들기(&C)", "이름 바꾸기(&R)", "삭제(&D)", "동기화 확인(&S)"}));
    }

    // ---- requests ---------------------------------------------------------------------------

    void createFolderSendsMkdirOrAsksAgainWhenTheNameExists()
    {
        CRemoteView view(m_host);
        view.ShowListing(Sample());
        QStringList names{QStringLiteral("A"), QStringLiteral("c"), QStringLiteral("new")};
        int asked = 0;
        view.m_askFolderName = [&](QString& name) {
            ++asked;
            if (names.isEmpty())
                return false;
            name = names.takeFirst();
            return true;
        };
        m_prompt.answers = {true, true}; // "A" exists (other case): again; "c" exists: again
        view.Action(ID_REMOTE_MKDIR)->trigger();
        QCOMPARE(asked, 3);
        QCOMPARE(m_prompt.shown.size(), 2);
        QCOMPARE(m_prompt.boxes[0].text, QStringLiteral("이미 존재합니다. 다시 시도하시겠습니까?"));
        QCOMPARE(int(m_prompt.boxes[0].icon), int(PromptIcon::Question));
        QCOMPARE(m_host.sent, (QList<Sent>{{UM_MKDIR, "/new/", ""}}));

        // "No" ends it; a cancelled dialog sends nothing.
        m_host.sent.clear();
        names = {QStringLiteral("a")};
        m_prompt.answers = {false};
        view.CreateFolder();
        view.CreateFolder();
        QVERIFY(m_host.sent.isEmpty());
    }

    void deleteAsksOnceAndSendsOneRequestPerRowSkippingTheParentRow()
    {
        CRemoteView view(m_host);
        view.ShowListing(Sample());
        Select(view, {0});
        view.OpenSelected();
        view.ShowListing(Sample()); // now in /a/: "..", a, b.txt, c, D.bin
        Select(view, {4, 0, 1, 2});
        m_prompt.answers = {false};
        view.Action(ID_REMOTE_DELETE)->trigger();
        QVERIFY(m_host.sent.isEmpty());
        QCOMPARE(m_prompt.boxes.last().text, QStringLiteral("정말 삭제하시겠습니까?"));
        m_prompt.answers = {true};
        QTest::keyClick(view.List(), Qt::Key_Delete);
        QCOMPARE(m_host.sent, (QList<Sent>{{UM_RMDIR, "/a/a/", ""}, {UM_DELFILE, "/a/b.txt", ""}, {UM_DELFILE, "/a/D.bin", ""}}));
        QCOMPARE(view.Model()->rowCount(), 5); // rows go only on the results

        // Nothing selected: not even asked.
        m_prompt.Clear();
        view.List()->selectionModel()->clearSelection();
        view.DeleteSelected();
        QVERIFY(m_prompt.shown.isEmpty());
    }

    void renameWithTheDialogBuildsOldAndNewPaths()
    {
        CRemoteView view(m_host);
        view.ShowListing({Entry("x", 0, 1)});
        Select(view, {0});
        view.OpenSelected();
        view.ShowListing(Sample()); // in /x/
        QStringList targets{QStringLiteral("b"), QStringLiteral("/y/b"), QStringLiteral("\\z\\new.txt")};
        QString source;
        view.m_askRenameTarget = [&](const QString& s, QString& target) {
            source = s;
            target = targets.takeFirst();
            return true;
        };
        Select(view, {1}); // folder a
        view.Action(ID_REMOTE_RENAME)->trigger();
        QCOMPARE(source, QStringLiteral("a"));
        view.RenameSelected();
        Select(view, {2}); // file b.txt
        view.RenameSelected();
        QCOMPARE(m_host.sent, (QList<Sent>{{UM_RENAME, "/x/a/", "/x/b/"}, {UM_RENAME, "/x/a/", "/y/b/"},
                                           {UM_RENAME, "/x/b.txt", "/z/new.txt"}}));
        QCOMPARE(m_host.statuses, (QList<int>{8, 8, 8}));

        // Several rows: refused with 263; the ".." row or a cancel: nothing.
        m_host.sent.clear();
        Select(view, {1, 2});
        view.RenameSelected();
        QCOMPARE(m_prompt.boxes.last().text, QStringLiteral("여러개의 항목을 이름바꾸기 할 수 없습니다"));
        QCOMPARE(int(m_prompt.boxes.last().icon), int(PromptIcon::Information));
        Select(view, {0});
        view.RenameSelected();
        view.m_askRenameTarget = [](const QString&, QString&) { return false; };
        Select(view, {1});
        view.RenameSelected();
        QVERIFY(m_host.sent.isEmpty());
    }

    void renameInPlaceChecksTheNameAndLeavesTheLabel()
    {
        CRemoteView view(m_host);
        view.ShowListing({Entry("x", 0, 1)});
        Select(view, {0});
        view.OpenSelected();
        view.ShowListing(Sample()); // in /x/
        view.EndRenameInPlace(1, QStringLiteral("a:b"));
        QCOMPARE(m_prompt.shown.size(), 1);
        QCOMPARE(m_prompt.boxes[0].text, QStringLiteral(": < > * \" / ? \\ | 값은 사용할 수 없습니다"));
        QCOMPARE(int(m_prompt.boxes[0].icon), int(PromptIcon::Warning));
        for (const char* bad : {"/", "\\", "*", "?", "\"", "<", ">", "|"})
            view.EndRenameInPlace(2, QStringLiteral("n%1").arg(QLatin1String(bad)));
        QCOMPARE(m_prompt.shown.size(), 9);
        view.EndRenameInPlace(0, QStringLiteral("up")); // the ".." row
        view.EndRenameInPlace(1, QString());           // empty: refused
        view.EndRenameInPlace(1, QStringLiteral("a")); // unchanged
        QVERIFY(m_host.sent.isEmpty());

        view.EndRenameInPlace(1, QStringLiteral("b"));
        view.EndRenameInPlace(2, QString(300, QLatin1Char('n')));
        QCOMPARE(m_host.sent, (QList<Sent>{{UM_RENAME, "/x/a/", "/x/b/"},
                                           {UM_RENAME, "/x/b.txt", "/x/" + QString(255, QLatin1Char('n'))}}));
        QCOMPARE(Names(view), (QStringList{"..", "a", "b.txt", "c", "D.bin"}));
    }

    void renameInPlaceThroughTheEditor()
    {
        CRemoteView view(m_host);
        view.resize(400, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.ShowListing(Sample());
        view.List()->setFocus();
        Select(view, {0, 1});
        QTest::keyClick(view.List(), Qt::Key_F2); // two rows: no editing
        QVERIFY(!view.List()->findChild<QLineEdit*>());
        Select(view, {1});
        QTest::keyClick(view.List(), Qt::Key_F2);
        auto* editor = view.List()->findChild<QLineEdit*>();
        QVERIFY(editor);
        QCOMPARE(editor->maxLength(), 255);
        editor->selectAll();
        QTest::keyClicks(editor, QStringLiteral("c.txt"));
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(m_host.sent.size(), 1);
        QCOMPARE(m_host.sent[0], (Sent{UM_RENAME, "/b.txt", "/c.txt"}));
        QCOMPARE(Cell(view, 1, 0), QStringLiteral("b.txt"));
    }

    void syncCheckOfOneItem()
    {
        CRemoteView view(m_host);
        view.ShowListing({Entry("x", 0, 1)});
        Select(view, {0});
        view.OpenSelected();
        view.ShowListing(Sample()); // in /x/
        Select(view, {1, 2});
        view.Action(ID_REMOTE_CHECKSYNC)->trigger();
        QCOMPARE(m_prompt.boxes.last().text, QStringLiteral("여러개의 Item을 선택할 수 없습니다"));
        QCOMPARE(int(m_prompt.boxes.last().icon), int(PromptIcon::Information));
        QVERIFY(!m_host.checkSync);
        Select(view, {0}); // ".." names nothing to check
        view.CheckSyncSelected();
        QVERIFY(m_host.sent.isEmpty());
        Select(view, {2});
        view.CheckSyncSelected();
        QVERIFY(m_host.checkSync);
        Select(view, {3});
        view.CheckSyncSelected();
        QCOMPARE(m_host.sent, (QList<Sent>{{UM_CHECKSYNC, "/x/b.txt", ""}, {UM_CHECKSYNC, "/x/c/", ""}}));
    }

    // ---- state ------------------------------------------------------------------------------

    void commandsFollowTheSelectionAndTheConnection()
    {
        CRemoteView view(m_host);
        view.UpdateActions();
        QVERIFY(view.Action(ID_REMOTE_MKDIR)->isEnabled());
        QVERIFY(!view.Action(ID_REMOTE_DELETE)->isEnabled()); // empty list
        view.ShowListing(Sample());
        QVERIFY(!view.Action(ID_REMOTE_RENAME)->isEnabled()); // nothing selected
        Select(view, {1});
        for (unsigned id : {ID_REMOTE_DELETE, ID_REMOTE_RENAME, ID_REMOTE_CHECKSYNC})
            QVERIFY(view.Action(id)->isEnabled());
        QCOMPARE(view.Action(ID_REMOTE_MKDIR)->text(), QStringLiteral("폴더 만들기(&C)"));

        // Not connected: every command off, and nothing is sent or browsed.
        m_host.ready = false;
        view.UpdateActions();
        for (unsigned id : {ID_REMOTE_MKDIR, ID_REMOTE_DELETE, ID_REMOTE_RENAME, ID_REMOTE_CHECKSYNC})
            QVERIFY(!view.Action(id)->isEnabled());
        m_prompt.answers = {true};
        view.DeleteSelected();
        view.CheckSyncSelected();
        Select(view, {0});
        view.OpenSelected();
        QVERIFY(m_host.sent.isEmpty());
        QVERIFY(m_host.browsed.isEmpty());
        QVERIFY(m_prompt.shown.isEmpty());
    }

    void rowsOfTheFolderLeftBehindAreNotActedOn()
    {
        // Between opening a folder and its listing the rows still belong to the folder before:
        // a delete would name an item of the new folder that nobody has seen.
        CRemoteView view(m_host);
        view.ShowListing(Sample());
        Select(view, {0});
        view.OpenSelected();
        QVERIFY(view.IsAwaitingListing());
        Select(view, {1});
        m_prompt.answers = {true};
        view.DeleteSelected();
        view.CheckSyncSelected();
        view.EndRenameInPlace(1, QStringLiteral("z"));
        QVERIFY(m_host.sent.isEmpty());
        view.ShowListing(Sample());
        QVERIFY(!view.IsAwaitingListing());
        Select(view, {2});
        view.DeleteSelected();
        QCOMPARE(m_host.sent, (QList<Sent>{{UM_DELFILE, "/a/b.txt", ""}}));
    }

    void aDragOverTheListHighlightsTheRowUnderThePointer()
    {
        CRemoteView view(m_host);
        view.resize(400, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.ShowListing(Sample());
        const auto at = [&](int row) {
            return view.List()->viewport()->mapToGlobal(view.List()->visualRect(view.Model()->index(row, 0)).center());
        };
        QLabel otherList;
        QVERIFY(view.HoverDropTarget(&otherList, at(1)));
        QCOMPARE(view.DropTargetRow(), 1);
        QVERIFY(view.HoverDropTarget(&otherList, at(2)));
        QCOMPARE(view.DropTargetRow(), 2);
        // Below the last row: accepted, nothing highlighted.
        QVERIFY(view.HoverDropTarget(&otherList, view.List()->viewport()->mapToGlobal(QPoint(5, 250))));
        QCOMPARE(view.DropTargetRow(), -1);
        // The list over its own selection: refused.
        Select(view, {3});
        QVERIFY(!view.HoverDropTarget(view.List(), at(3)));
        QCOMPARE(view.DropTargetRow(), -1);
        QVERIFY(view.HoverDropTarget(view.List(), at(0)));
        QCOMPARE(view.DropTargetRow(), 0);
        view.ClearDropTarget();
        QCOMPARE(view.DropTargetRow(), -1);
        QVERIFY(view.HoverDropTarget(&otherList, at(3)));
        view.RemoveItemNamed(QStringLiteral("a")); // rows move: no stale highlight
        QCOMPARE(view.DropTargetRow(), -1);
        QVERIFY(view.HoverDropTarget(&otherList, at(1)));
        view.ShowListing(Sample());
        QCOMPARE(view.DropTargetRow(), -1);
    }

    // ---- dialogs ----------------------------------------------------------------------------

    void theFolderDialogRefusesForbiddenKeysAndEmptyNames()
    {
        CFolderDlg dlg(CFolderDlg::NewFolder);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("새 폴더 만들기"));
        QCOMPARE(dlg.NameLabel()->text(), QStringLiteral("폴더명"));
        QTest::keyClicks(dlg.NameEdit(), QStringLiteral("a:b/c;d"));
        QCOMPARE(dlg.NameEdit()->text(), QStringLiteral("abcd").insert(3, QLatin1Char(';')));
        QCOMPARE(m_prompt.shown.size(), 2);
        QCOMPARE(int(m_prompt.boxes[0].icon), int(PromptIcon::Error));
        dlg.NameEdit()->setText(QStringLiteral("   "));
        dlg.accept();
        QCOMPARE(m_prompt.boxes.last().text, QStringLiteral("폴더명을 입력하세요"));
        QCOMPARE(int(m_prompt.boxes.last().icon), int(PromptIcon::Warning));
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        dlg.NameEdit()->setText(QStringLiteral("x|y")); // pasted past the key filter
        dlg.accept();
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        dlg.NameEdit()->setText(QStringLiteral("  new folder "));
        dlg.accept();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.m_strName, QStringLiteral("new folder"));

        CFolderDlg find(CFolderDlg::FindFile);
        QCOMPARE(find.windowTitle(), QStringLiteral("파일 찾기"));
        QCOMPARE(find.NameLabel()->text(), QStringLiteral("파일명"));
        find.accept();
        QCOMPARE(m_prompt.boxes.last().text, QStringLiteral("파일명을 입력하세요"));
        QCOMPARE(find.OkButton()->text(), QStringLiteral("확인"));
    }

    void theRenameDialogTakesPathsButNotTheOtherCharacters()
    {
        CRenameDlg dlg(QStringLiteral("old.txt"));
        QCOMPARE(dlg.windowTitle(), QStringLiteral("이름 바꾸기"));
        QVERIFY(dlg.SourceEdit()->isReadOnly());
        QCOMPARE(dlg.SourceEdit()->text(), QStringLiteral("old.txt"));
        QTest::keyClicks(dlg.TargetEdit(), QStringLiteral("/y\\n?e*w"));
        QCOMPARE(dlg.TargetEdit()->text(), QStringLiteral("/y\\new"));
        QCOMPARE(m_prompt.shown.size(), 2);
        QCOMPARE(int(m_prompt.boxes[0].icon), int(PromptIcon::Warning));
        dlg.TargetEdit()->clear();
        dlg.accept();
        QCOMPARE(m_prompt.boxes.last().text, QStringLiteral("대상 경로를 설정하셔야 합니다"));
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        dlg.TargetEdit()->setText(QStringLiteral(" /y/new "));
        dlg.accept();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.m_strTarget, QStringLiteral("/y/new"));
    }

private:
    RecordingHost m_host;
    test::ScriptedPrompt m_prompt;
};

QTEST_MAIN(RemotePaneTest)
#include "remote_pane_test.moc"
