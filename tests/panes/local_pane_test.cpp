// The local pane against real folders in a temporary directory, a fixed volume list and a host
// that records the orders: reading in pieces, paths and "..", sorting, type names, uploads of a
// selection, the drag refusals and drops onto the remote pane.

#include "panes/local_view.h"
#include "panes/remote_view.h"
#include "panes/upload_drop.h"
#include "protocol/upload_expansion.h"
#include "tests/common/menu_keys.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QDateTime>
#include <QAction>
#include <QDir>
#include <QMimeDatabase>
#include <QFile>
#include <QHeaderView>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

using namespace talvex;

namespace {

class RecordingHost final : public ILocalHost {
public:
    std::vector<CUploadOrder> orders;
    QStringList folderRows;
    QString remote = QStringLiteral("/up/");
    bool ready = true;
    CRemoteView* remotePane = nullptr;
    void AddUploadOrders(std::vector<CUploadOrder> o) override
    {
        for (CUploadOrder& order : o)
            orders.push_back(std::move(order));
    }
    QString RemoteFolder() const override { return remote; }
    bool IsRemoteReady() const override { return ready; }
    void AddRemoteFolderRow(const QString& name) override
    {
        folderRows.append(name);
        if (remotePane)
            remotePane->AddFolderRow(name);
    }
};

class IdleRemoteHost final : public IRemoteHost {
public:
    void SendCommand(std::unique_ptr<CThreadCommand>) override {}
    void RequestBrowse(const QString&) override {}
    void SetStatus(int) override {}
    bool IsDetailSize() const override { return false; }
    void SetCheckSync(bool) override {}
    bool IsRemoteReady() const override { return true; }
};

void MakeFile(const QString& path, qint64 size = 0, qint64 mtime = 0)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    if (size > 0)
        QVERIFY(file.resize(size));
    file.close();
    if (mtime > 0) {
        const utimbuf times{static_cast<time_t>(mtime), static_cast<time_t>(mtime)};
        QCOMPARE(::utime(QFile::encodeName(path).constData(), &times), 0);
    }
}

QStringList Names(const CLocalListCtrl& list)
{
    QStringList names;
    for (int r = 0; r < list.Model()->rowCount(); ++r)
        names.append(list.Model()->index(r, 0).data().toString());
    return names;
}

QString Cell(const CLocalListCtrl& list, int row, int column)
{
    return list.Model()->index(row, column).data().toString();
}

int RowNamed(const CLocalListCtrl& list, const QString& name) { return Names(list).indexOf(name); }

void Select(CLocalListCtrl& list, const QStringList& names)
{
    list.selectionModel()->clearSelection();
    for (const QString& name : names)
        list.selectionModel()->select(list.Model()->index(RowNamed(list, name), 0),
                                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

// Opens a folder and waits until it is on show.
bool Open(CLocalListCtrl& list, const QString& path)
{
    QSignalSpy shown(&list, &CLocalListCtrl::folderShown);
    list.OpenFolder(path);
    return shown.count() > 0 || shown.wait(10000);
}

// Opens a row of the list and waits until what it leads to is on show.
bool OpenRow(CLocalListCtrl& list, const QString& name)
{
    Select(list, {name});
    QSignalSpy shown(&list, &CLocalListCtrl::folderShown);
    list.OpenSelected();
    return shown.count() > 0 || shown.wait(10000);
}

} // namespace

class LocalPaneTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    RecordingHost m_host;
    QList<LocalVolume> m_volumes;
    std::unique_ptr<CLocalView> m_view;

    CLocalListCtrl& List() { return *m_view->List(); }
    QString Path(const QString& name) const { return m_dir.path() + QLatin1Char('/') + name; }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_host = RecordingHost();
        m_volumes = {{Path(QString()).chopped(1), QStringLiteral("홈 폴더")}, {QStringLiteral("/"), QStringLiteral("/")},
                     {QStringLiteral("/media/usb"), QStringLiteral("USB 디스크")}};
        m_view = std::make_unique<CLocalView>(m_host, nullptr, [this] { return m_volumes; });
        m_view->resize(500, 400);
    }
    void cleanup()
    {
        m_view.reset();
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    // ---- keys -------------------------------------------------------------------------------

    void enterOpensBackspaceGoesUpAndF5ReadsTheFolderAgain()
    {
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("top/inner")));
        MakeFile(Path(QStringLiteral("top/a.txt")));
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
        QVERIFY(Open(List(), Path(QStringLiteral("top"))));
        List().setFocus();
        QSignalSpy shown(&List(), &CLocalListCtrl::folderShown);
        Select(List(), {QStringLiteral("inner")});
        QTest::keyClick(&List(), Qt::Key_Return);
        QVERIFY(shown.count() > 0 || shown.wait(5000));
        QCOMPARE(List().CurrentFolder(), Path(QStringLiteral("top/inner/")));
        shown.clear();
        QTest::keyClick(&List(), Qt::Key_Backspace);
        QVERIFY(shown.count() > 0 || shown.wait(5000));
        QCOMPARE(List().CurrentFolder(), Path(QStringLiteral("top/")));
        // The folder left is the current row: Enter goes straight back into it.
        QCOMPARE(Cell(List(), List().currentIndex().row(), 0), QStringLiteral("inner"));
        QVERIFY(List().hasFocus());
        // F5 reads the folder again, keeping the selection; the window's F5 is not asked.
        MakeFile(Path(QStringLiteral("top/b.txt")));
        QSignalSpy refreshed(&List(), &CLocalListCtrl::folderRefreshed);
        QTest::keyClick(&List(), Qt::Key_F5);
        QVERIFY(refreshed.count() > 0 || refreshed.wait(5000));
        QVERIFY(Names(List()).contains(QStringLiteral("b.txt")));
        QCOMPARE(List().SelectedRows().size(), 1);
        QCOMPARE(Cell(List(), List().SelectedRows().first(), 0), QStringLiteral("inner"));
        // From a volume's own folder Backspace shows the volume list with that volume current;
        // there it does nothing.
        QVERIFY(Open(List(), m_dir.path()));
        shown.clear();
        QTest::keyClick(&List(), Qt::Key_Backspace);
        QVERIFY(shown.count() > 0 || shown.wait(5000));
        QVERIFY(List().Model()->IsVolumeList());
        QCOMPARE(Cell(List(), List().currentIndex().row(), 0), QStringLiteral("홈 폴더"));
        QTest::keyClick(&List(), Qt::Key_Backspace);
        QVERIFY(List().Model()->IsVolumeList());
        QTest::keyClick(&List(), Qt::Key_Enter);
        QTRY_COMPARE(List().CurrentFolder(), m_dir.path() + QLatin1Char('/'));
    }

    void keysActOnWhateverMadeARowCurrent()
    {
        QDir dir(m_dir.path());
        for (const char* folder : {"alpha", "beta", "zulu/inner"})
            QVERIFY(dir.mkpath(QString::fromLatin1(folder)));
        MakeFile(Path(QStringLiteral("zulu/z.txt")), 10);
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
        QApplication::setActiveWindow(m_view.get());
        List().setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(List().hasFocus());
        QVERIFY(List().Model()->IsVolumeList());
        QSignalSpy shown(&List(), &CLocalListCtrl::folderShown);
        const auto press = [&](Qt::Key key, Qt::KeyboardModifiers mods = {}) {
            shown.clear();
            QTest::keyClick(&List(), key, mods);
        };
        const auto opened = [&] { return shown.count() > 0 || shown.wait(5000); };

        // The focus made 홈 폴더 current without choosing it; Home leaves it there; Enter opens it.
        QCOMPARE(List().currentIndex().row(), 0);
        press(Qt::Key_Home);
        QCOMPARE(List().SelectedRows(), QList<int>{0});
        press(Qt::Key_Return);
        QVERIFY(opened());
        QCOMPARE(List().CurrentFolder(), m_dir.path() + QLatin1Char('/'));
        QVERIFY(List().hasFocus());

        // The rows were replaced and nothing is current: End goes to the last row, not the first.
        QCOMPARE(Names(List()), (QStringList{"..", "alpha", "beta", "zulu"}));
        press(Qt::Key_End);
        QCOMPARE(List().SelectedRows(), QList<int>{3});
        press(Qt::Key_Enter);
        QVERIFY(opened());
        QCOMPARE(List().CurrentFolder(), Path(QStringLiteral("zulu/")));

        // Page Down from nothing current: the last row of the page; Shift+F10's 업로드 takes it.
        press(Qt::Key_PageDown);
        QCOMPARE(List().SelectedRows(), QList<int>{RowNamed(List(), QStringLiteral("z.txt"))});
        QStringList entries;
        test::AnswerNextMenu(1, &entries);
        press(Qt::Key_F10, Qt::ShiftModifier);
        QCOMPARE(entries, QStringList{List().UploadAction()->text()});
        QCOMPARE(m_host.orders.size(), size_t(1));
        QCOMPARE(QString::fromStdString(m_host.orders[0].source), Path(QStringLiteral("zulu/z.txt")));

        // Page Up: ".."; Enter goes up, with the folder left current.
        press(Qt::Key_PageUp);
        QCOMPARE(List().SelectedRows(), QList<int>{0});
        press(Qt::Key_Return);
        QVERIFY(opened());
        QCOMPARE(List().CurrentFolder(), m_dir.path() + QLatin1Char('/'));
        QCOMPARE(Cell(List(), List().currentIndex().row(), 0), QStringLiteral("zulu"));

        // A click on the empty part of the list chooses nothing and leaves the row current: the
        // menu key acts on it.
        const QRect last = List().visualRect(List().Model()->index(List().Model()->rowCount() - 1, 0));
        QTest::mouseClick(List().viewport(), Qt::LeftButton, {}, QPoint(last.left() + 5, last.bottom() + 40));
        QVERIFY(List().SelectedRows().isEmpty());
        QCOMPARE(Cell(List(), List().currentIndex().row(), 0), QStringLiteral("zulu"));
        test::AnswerNextMenu();
        test::PressMenuKey(List());
        QCOMPARE(m_host.orders.size(), size_t(2));
        QCOMPARE(QString::fromStdString(m_host.orders[1].source), Path(QStringLiteral("zulu/")));

        // Type-ahead: Enter opens what it found.
        QTest::keyClicks(&List(), QStringLiteral("al"));
        QCOMPARE(List().SelectedRows(), QList<int>{RowNamed(List(), QStringLiteral("alpha"))});
        press(Qt::Key_Return);
        QVERIFY(opened());
        QCOMPARE(List().CurrentFolder(), Path(QStringLiteral("alpha/")));
    }

    void aTimeReadsAsTheRemotePaneShowsIt()
    {
        MakeFile(Path(QStringLiteral("dated.txt")), 1, QDateTime(QDate(2024, 5, 1), QTime(13, 7, 59)).toSecsSinceEpoch());
        QVERIFY(Open(List(), m_dir.path()));
        QCOMPARE(Cell(List(), RowNamed(List(), QStringLiteral("dated.txt")), CLocalListModel::TimeColumn),
                 QStringLiteral("2024-05-01 13:07"));
    }

    // ---- following the disk -------------------------------------------------------------------

    void filesMadeRemovedAndRenamedOnDiskShowWithoutOpeningTheFolderAgain()
    {
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("w/sub")));
        MakeFile(Path(QStringLiteral("w/keep.txt")), 10);
        MakeFile(Path(QStringLiteral("w/old.txt")));
        MakeFile(Path(QStringLiteral("w/gone.txt")));
        QVERIFY(Open(List(), Path(QStringLiteral("w"))));
        QAbstractItemModelTester tester(List().Model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(List().WatchedFolders(), QStringList{Path(QStringLiteral("w"))});
        Select(List(), {QStringLiteral("keep.txt"), QStringLiteral("gone.txt")});
        QSignalSpy shown(&List(), &CLocalListCtrl::folderShown);

        MakeFile(Path(QStringLiteral("w/new.txt")), 5);
        QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("w/newdir")));
        QVERIFY(QFile::remove(Path(QStringLiteral("w/gone.txt"))));
        QVERIFY(QFile::rename(Path(QStringLiteral("w/old.txt")), Path(QStringLiteral("w/renamed.txt"))));
        QFile grown(Path(QStringLiteral("w/keep.txt")));
        QVERIFY(grown.open(QIODevice::Append));
        grown.write("0123456789");
        grown.close();
        QTRY_COMPARE_WITH_TIMEOUT(Names(List()), (QStringList{"..", "newdir", "sub", "keep.txt", "new.txt", "renamed.txt"}),
                                  5000);
        QCOMPARE(shown.count(), 0); // not opened again: the rows changed in place
        // The selection stays with what is still there; the time and size are the disk's now.
        QCOMPARE(List().SelectedRows().size(), 1);
        QCOMPARE(Cell(List(), List().SelectedRows().first(), 0), QStringLiteral("keep.txt"));
        QCOMPARE(List().Model()->EntryAt(RowNamed(List(), QStringLiteral("keep.txt"))).size, 20);
        QVERIFY(List().Model()->EntryAt(RowNamed(List(), QStringLiteral("newdir"))).folder);

        // A folder other than the one on show is not followed; the one left is no longer watched.
        QVERIFY(Open(List(), Path(QStringLiteral("w/sub"))));
        QCOMPARE(List().WatchedFolders(), QStringList{Path(QStringLiteral("w/sub"))});
        QVERIFY(Open(List(), QString()));
        QVERIFY(List().WatchedFolders().isEmpty());
    }

    void aFolderRemovedWhileOnShowGivesWayToTheFolderAbove()
    {
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("p/q/r")));
        QVERIFY(Open(List(), Path(QStringLiteral("p/q/r"))));
        QVERIFY(QDir(Path(QStringLiteral("p/q"))).removeRecursively());
        QTRY_COMPARE_WITH_TIMEOUT(List().CurrentFolder(), Path(QStringLiteral("p/")), 5000);
        QCOMPARE(Names(List()), QStringList{".."});
    }

    void aFolderBeingFilledIsReadAgainInBatches()
    {
        QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("fill")));
        QVERIFY(Open(List(), Path(QStringLiteral("fill"))));
        QSignalSpy refreshed(&List(), &CLocalListCtrl::folderRefreshed);
        // 2,000 files written in a steady stream over well over a second, far faster than the
        // folder is read: a few reads, not one per file, and the first ones while the stream
        // lasts (a read put off by every change would come only once it stopped).
        int firstRead = -1;
        for (int i = 0; i < 2000; ++i) {
            MakeFile(Path(QStringLiteral("fill/f%1.bin").arg(i)));
            if (i % 10 == 0)
                QTest::qWait(8);
            if (firstRead < 0 && refreshed.count() > 0)
                firstRead = i;
        }
        const int readsDuring = int(refreshed.count());
        QTRY_COMPARE_WITH_TIMEOUT(List().Model()->rowCount(), 2001, 10000);
        QVERIFY2(firstRead >= 0 && firstRead < 1200 && readsDuring >= 2,
                 qPrintable(QStringLiteral("first read at file %1, %2 reads during").arg(firstRead).arg(readsDuring)));
        QVERIFY2(refreshed.count() <= 10, qPrintable(QString::number(refreshed.count())));
    }

    void aSortInStepsGivesTheOrderOfOneSort()
    {
        // Names of both cases (two equal but for case), folders, sizes, times and types that
        // repeat: the sorted rows keep every rule, ties in the order the entries were read.
        CLocalListModel model;
        model.Clear(QFile::encodeName(m_dir.path()) + '/');
        model.AddParentEntry();
        for (int i = 0; i < 3000; ++i) {
            const QByteArray name = QByteArray(i % 7 == 0 ? "Dir_" : i % 2 ? "file_" : "File_")
                + QByteArray::number(i * 7919 % 3001) + (i % 3 == 0 ? ".TXT" : i % 3 == 1 ? ".jpg" : ".dat");
            model.AddEntry({name, i % 7 == 0, (i * 104729) % 5000, 1600000000 + (i * 37) % 1000});
        }
        model.AddEntry({"Same.txt", false, 10, 1600000000});
        model.AddEntry({"same.TXT", false, 10, 1600000000});
        const auto rows = [&model] {
            QStringList names;
            for (int r = 0; r < model.rowCount(); ++r)
                names.append(model.NameAt(r));
            return names;
        };
        for (int column = 0; column < CLocalListModel::ColumnCount; ++column) {
            for (int direction : {CLocalListModel::Ascending, CLocalListModel::Descending}) {
                const QString what = QStringLiteral("column %1 direction %2").arg(column).arg(direction);
                model.PrepareRows(column, direction);
                model.ShowPreparedRows();
                const QStringList oneSort = rows();
                model.StartPreparingRows(column, direction);
                int steps = 1;
                while (!model.PrepareStep(1))
                    ++steps;
                QVERIFY2(steps > 5, qPrintable(what + QStringLiteral(": %1 steps").arg(steps)));
                model.ShowPreparedRows();
                QCOMPARE(rows(), oneSort);
                QCOMPARE(rows().first(), QStringLiteral(".."));
                // Each pair of rows in order: folders first, then the column's value, then the
                // name without regard to case (descending: all of it the other way round); ties
                // as read.
                const auto value = [&](const LocalEntry& e) -> QVariant {
                    switch (column) {
                    case CLocalListModel::SizeColumn: return QVariant::fromValue(e.size);
                    case CLocalListModel::TimeColumn: return QVariant::fromValue(e.modified);
                    case CLocalListModel::TypeColumn: return model.TypeName(e).toLower();
                    default: return QVariant(0);
                    }
                };
                for (int r = 1; r + 1 < model.rowCount(); ++r) {
                    const LocalEntry& a = model.EntryAt(r);
                    const LocalEntry& b = model.EntryAt(r + 1);
                    int order = a.folder != b.folder ? (a.folder ? -1 : 1) : 0;
                    if (order == 0)
                        order = QVariant::compare(value(a), value(b)) == QPartialOrdering::Less      ? -1
                                : QVariant::compare(value(a), value(b)) == QPartialOrdering::Greater ? 1
                                                                                                     : 0;
                    if (order == 0)
                        order = model.SortName(a).compare(model.SortName(b)) < 0 ? -1 : model.SortName(a) == model.SortName(b) ? 0 : 1;
                    if (direction == CLocalListModel::Descending)
                        order = -order;
                    if (order == 0)
                        order = model.EntryIndexAt(r) < model.EntryIndexAt(r + 1) ? -1 : 1;
                    QVERIFY2(order < 0, qPrintable(what + QStringLiteral(": row %1 %2 before %3").arg(r).arg(model.NameAt(r), model.NameAt(r + 1))));
                }
            }
        }
    }

    void namesAreKeptOnceAndTheStoreIsMadeAnewWhenMostOfItIsGone()
    {
        CLocalListModel model;
        const QByteArray folder = "/x/";
        model.Clear(folder);
        model.AddParentEntry();
        const QByteArray raw("bad\xff\xfe.bin");
        model.AddEntry({"Upper_\xc3\x84.TXT", false, 1, 1}); // "Upper_Ä.TXT": kept with its lower case
        model.AddEntry({"lower.txt", false, 2, 2});             // its own lower case: kept once
        model.AddEntry({raw, false, 3, 3});                     // not UTF-8: its bytes kept beside it
        // ".." 2 units, 11 + 11, 9, and the raw one's 9 units (two replacement characters), a
        // count and its 9 bytes.
        QCOMPARE(model.NameUnitsUsed(), size_t(2 + 22 + 9 + 19));
        model.Publish(CLocalListModel::NameColumn, CLocalListModel::Ascending);
        QCOMPARE(model.NameAt(3), QStringLiteral("Upper_Ä.TXT"));
        QCOMPARE(model.SortName(model.EntryAt(3)), QStringView(u"upper_ä.txt"));
        QCOMPARE(model.PathBytes(1), folder + raw);
        {
            // Capitals and bytes that are not UTF-8 at once: the name, its lower case, then the
            // count and the bytes.
            CLocalListModel both;
            both.Clear("/y/");
            const QByteArray mixed("MiX\xff.BIN");
            both.AddEntry({mixed, false, 4, 4});
            QCOMPARE(both.NameUnitsUsed(), size_t(8 + 8 + 1 + 8));
            both.Publish(CLocalListModel::NameColumn, CLocalListModel::Ascending);
            QCOMPARE(both.NameAt(0), QStringLiteral("MiX\uFFFD.BIN"));
            QCOMPARE(both.SortName(both.EntryAt(0)), QStringView(u"mix\uFFFD.bin"));
            QCOMPARE(both.PathBytes(0), "/y/" + mixed);
        }

        // Read again: the upper-case one gone, 20,000 names of 60 units come; then those go and
        // 20,000 of 30 come, and the gone names are the larger part of the store.
        const auto reconcile = [&](int count, int width, char letter) {
            model.BeginReconcile();
            model.ReconcileEntry({"lower.txt", false, 2, 2});
            model.ReconcileEntry({raw, false, 30, 3}); // found by its bytes: its size changes
            for (int i = 0; i < count; ++i)
                model.ReconcileEntry({QByteArray(1, letter) + QByteArray::number(i).rightJustified(width - 1, '0'), false, i, 0});
            return model.FinishReconcile(CLocalListModel::NameColumn, CLocalListModel::Ascending);
        };
        QVERIFY(reconcile(20000, 60, 'a'));
        QCOMPARE(model.rowCount(), 20003);
        QCOMPARE(model.NameUnitsUsed(), size_t(2 + 22 + 9 + 19 + 20000 * 60)); // 22 gone, kept
        QVERIFY(reconcile(20000, 30, 'b'));
        QCOMPARE(model.NameUnitsUsed(), size_t(2 + 9 + 19 + 20000 * 30)); // made anew
        QCOMPARE(model.rowCount(), 20003);
        QCOMPARE(model.NameAt(1), QStringLiteral("b00000000000000000000000000000"));
        QCOMPARE(model.NameAt(20002), QStringLiteral("lower.txt"));
        QCOMPARE(model.PathBytes(20001), folder + raw);
        QCOMPARE(model.EntryAt(20001).size, 30);
        QCOMPARE(model.FindPrefix(QStringLiteral("LOWER"), 0), 20002);
        // Nothing changed: every name is found again in the new store.
        QVERIFY(!reconcile(20000, 30, 'b'));

        // A sort in steps of rows that a reconcile changes gives way to the reconcile's own.
        model.StartSorting(CLocalListModel::SizeColumn, CLocalListModel::Descending);
        QVERIFY(model.IsSorting());
        model.BeginReconcile();
        model.ReconcileEntry({"new.txt", false, 5, 5});
        QVERIFY(model.IsSorting()); // the rows have not changed yet
        QVERIFY(model.StartFinishing(CLocalListModel::NameColumn, CLocalListModel::Ascending));
        QVERIFY(!model.IsSorting());
        model.ShowReconciled();
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.NameAt(1), QStringLiteral("new.txt"));
    }

    void aFolderReadAgainIsIndexedAndSortedInStepsWithItsRowsStillUntilTheLast()
    {
        QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("steps")));
        for (int i = 0; i < 1500; ++i)
            MakeFile(Path(QStringLiteral("steps/f%1.bin").arg(i, 4, 10, QLatin1Char('0'))), i % 10);
        QVERIFY(Open(List(), Path(QStringLiteral("steps"))));
        QAbstractItemModelTester tester(List().Model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        Select(List(), {QStringLiteral("f0700.bin")});
        List().SetStepBudgetNs(1); // as little as can be: every step stops at its first check
        for (int i = 1500; i < 1800; ++i)
            MakeFile(Path(QStringLiteral("steps/f%1.bin").arg(i, 4, 10, QLatin1Char('0'))));
        QVERIFY(QFile::remove(Path(QStringLiteral("steps/f0001.bin"))));
        // A window event between every two steps: what each one finds.
        int indexing = 0, sorting = 0, rowsMoved = 0;
        QTimer ticker;
        ticker.setInterval(0);
        connect(&ticker, &QTimer::timeout, this, [&] {
            if (!List().IsRefreshing())
                return;
            indexing += List().Model()->IsIndexing() ? 1 : 0;
            sorting += List().Model()->StagedSortColumn() >= 0 ? 1 : 0;
            rowsMoved += List().Model()->rowCount() != 1501 ? 1 : 0;
        });
        qsizetype held = -1; // indexes held through the last move of the rows
        connect(List().Model(), &QAbstractItemModel::layoutAboutToBeChanged, this,
                [&] { held = List().Model()->HeldIndexCount(); });
        QSignalSpy refreshed(&List(), &CLocalListCtrl::folderRefreshed);
        ticker.start();
        QVERIFY(refreshed.wait(20000));
        ticker.stop();
        QVERIFY2(indexing > 2 && sorting > 2, qPrintable(QStringLiteral("%1 %2").arg(indexing).arg(sorting)));
        QCOMPARE(rowsMoved, 0); // the rows on show stay until the last step
        const QStringList names = Names(List());
        QCOMPARE(names.size(), 1800);
        QCOMPARE(names.at(1), QStringLiteral("f0000.bin"));
        QCOMPARE(names.at(2), QStringLiteral("f0002.bin"));
        QCOMPARE(names.last(), QStringLiteral("f1799.bin"));
        QCOMPARE(List().SelectedRows().size(), 1);
        QCOMPARE(Cell(List(), List().SelectedRows().first(), 0), QStringLiteral("f0700.bin"));

        // All rows but one chosen (Ctrl+A, then Ctrl+click), and files come and go: through the
        // move the selection model holds no index a chosen row (a million of them cost seconds
        // and 150 MB) beyond those held with one row chosen, and the rows still there are chosen
        // after it, the new one not.
        const qsizetype heldForOneRow = held;
        List().selectAll();
        List().selectionModel()->select(List().Model()->index(1, 0), QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
        QVERIFY(QFile::remove(Path(QStringLiteral("steps/f0002.bin"))));
        MakeFile(Path(QStringLiteral("steps/f1800.bin")));
        QVERIFY(refreshed.wait(20000));
        QVERIFY2(heldForOneRow >= 0 && held <= heldForOneRow, qPrintable(QStringLiteral("%1 %2").arg(heldForOneRow).arg(held)));
        QCOMPARE(Names(List()).at(2), QStringLiteral("f0003.bin"));
        const QList<int> chosen = List().SelectedRows();
        QCOMPARE(chosen.size(), 1798); // "..", and f0003.bin to f1799.bin
        QCOMPARE(chosen.first(), 0);
        QCOMPARE(chosen.at(1), 2);
        QCOMPARE(chosen.last(), 1798);
        QCOMPARE(Cell(List(), 1799, 0), QStringLiteral("f1800.bin"));
    }

    void aLargeFolderIsReadInPiecesAndTheLatestRequestWaits()
    {
        QDir(m_dir.path()).mkdir(QStringLiteral("big"));
        QDir(m_dir.path()).mkdir(QStringLiteral("next"));
        for (int i = 249; i >= 0; --i)
            MakeFile(Path(QStringLiteral("big/f%1.dat").arg(i, 3, 10, QLatin1Char('0'))));
        MakeFile(Path(QStringLiteral("next/only.txt")));
        QAbstractItemModelTester tester(List().Model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy chunks(&List(), &CLocalListCtrl::chunkRead);
        QSignalSpy shown(&List(), &CLocalListCtrl::folderShown);
        QSignalSpy resets(List().Model(), &QAbstractItemModel::modelReset);
        QSignalSpy layouts(List().Model(), &QAbstractItemModel::layoutChanged);

        List().OpenFolder(Path(QStringLiteral("big")));
        QVERIFY(List().IsBusy());
        QVERIFY(!List().isEnabled());
        QCOMPARE(List().Model()->rowCount(), 0); // nothing shows until the read ends
        List().OpenFolder(Path(QStringLiteral("elsewhere")));
        List().OpenFolder(Path(QStringLiteral("next")));
        QCOMPARE(List().PendingFolder().value_or(QString()), Path(QStringLiteral("next")));

        QTRY_COMPARE(shown.count(), 2);
        QList<int> sizes;
        for (const QList<QVariant>& c : chunks)
            sizes.append(c.at(0).toInt());
        QCOMPARE(sizes, (QList<int>{99, 100, 51, 1}));
        QCOMPARE(resets.count(), 4); // cleared and shown sorted, once per folder
        QCOMPARE(layouts.count(), 0);
        QVERIFY(List().isEnabled());
        QCOMPARE(List().CurrentFolder(), Path(QStringLiteral("next/")));
        QCOMPARE(Names(List()), (QStringList{"..", "only.txt"}));

        QVERIFY(Open(List(), Path(QStringLiteral("big"))));
        const QStringList names = Names(List());
        QCOMPARE(names.size(), 251);
        QCOMPARE(names.at(0), QStringLiteral(".."));
        QCOMPARE(names.at(1), QStringLiteral("f000.dat"));
        QCOMPARE(names.at(250), QStringLiteral("f249.dat"));

        // A folder that is large and slow to read shows what it has read so far, in the order
        // read, while the list stays closed to input; then the whole of it sorted.
        List().SetShowReadSoFar(100, 0);
        resets.clear();
        List().OpenFolder(Path(QStringLiteral("big")));
        QTRY_VERIFY(List().Model()->rowCount() > 0 || !List().IsBusy());
        QVERIFY(List().IsBusy());
        QVERIFY(!List().isEnabled());
        QVERIFY(List().Model()->rowCount() >= 100 && List().Model()->rowCount() < 251);
        QCOMPARE(Names(List()).at(0), QStringLiteral(".."));
        QTRY_VERIFY(!List().IsBusy());
        QCOMPARE(resets.count(), 3); // cleared, read so far, sorted
        QCOMPARE(Names(List()), names);
        List().SetShowReadSoFar(CLocalListCtrl::kShowReadSoFarEntries, CLocalListCtrl::kShowReadSoFarMs);
    }

    void pathsAreNormalisedAndParentRowsClimbToTheVolumeList()
    {
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("dir/sub")));
        for (const QString& form : {QStringLiteral("dir"), QStringLiteral("dir/"), QStringLiteral("dir//")}) {
            QVERIFY(Open(List(), Path(form)));
            QCOMPARE(List().CurrentFolder(), Path(QStringLiteral("dir/")));
            QCOMPARE(Names(List()), (QStringList{"..", "sub"}));
        }
        // Into sub, up to dir, up to the volume's own folder, up to the volume list.
        QVERIFY(OpenRow(List(), QStringLiteral("sub")));
        QCOMPARE(List().CurrentFolder(), Path(QStringLiteral("dir/sub/")));
        QVERIFY(OpenRow(List(), QStringLiteral("..")));
        QCOMPARE(List().CurrentFolder(), Path(QStringLiteral("dir/")));
        QVERIFY(OpenRow(List(), QStringLiteral("..")));
        QCOMPARE(List().CurrentFolder(), Path(QString()));
        QVERIFY(OpenRow(List(), QStringLiteral("..")));
        QVERIFY(List().Model()->IsVolumeList());
        QCOMPARE(Names(List()).first(), QStringLiteral("홈 폴더")); // home stays first
        QCOMPARE(List().ParentOf(QStringLiteral("/")), QString());
        QCOMPARE(List().ParentOf(QStringLiteral("/media/usb/photos/")), QStringLiteral("/media/usb/"));

        // A volume row opens its folder; a folder that cannot be read shows only "..".
        QVERIFY(OpenRow(List(), QStringLiteral("홈 폴더")));
        QCOMPARE(List().CurrentFolder(), Path(QString()));
        QVERIFY(Open(List(), Path(QStringLiteral("missing"))));
        QCOMPARE(Names(List()), QStringList{".."});
    }

    void sortingKeepsFoldersFirstRowZeroFixedAndTheSelection()
    {
        QDir dir(m_dir.path());
        dir.mkdir(QStringLiteral("b"));
        dir.mkdir(QStringLiteral("a"));
        MakeFile(Path(QStringLiteral("x.bin")), 10, 3000);
        MakeFile(Path(QStringLiteral("y.bin")), 5, 1000);
        MakeFile(Path(QStringLiteral("z.bin")), 10, 2000);
        MakeFile(Path(QStringLiteral("W.bin")), 5, 4000);
        QVERIFY(Open(List(), m_dir.path()));
        QAbstractItemModelTester tester(List().Model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(Names(List()), (QStringList{"..", "a", "b", "W.bin", "x.bin", "y.bin", "z.bin"}));
        Select(List(), {QStringLiteral("x.bin"), QStringLiteral("a")});
        List().selectionModel()->setCurrentIndex(List().Model()->index(RowNamed(List(), QStringLiteral("x.bin")), 0),
                                                 QItemSelectionModel::NoUpdate);

        List().SortByColumn(CLocalListModel::SizeColumn, CLocalListModel::Ascending);
        QCOMPARE(Names(List()), (QStringList{"..", "a", "b", "W.bin", "y.bin", "x.bin", "z.bin"}));
        List().SortByColumn(CLocalListModel::SizeColumn, CLocalListModel::Descending);
        QCOMPARE(Names(List()), (QStringList{"..", "z.bin", "x.bin", "y.bin", "W.bin", "b", "a"}));
        QCOMPARE(List().SelectedRows(), (QList<int>{2, 6}));
        QCOMPARE(List().currentIndex().data().toString(), QStringLiteral("x.bin"));
        QCOMPARE(List().horizontalHeader()->sortIndicatorSection(), int(CLocalListModel::SizeColumn));
        QCOMPARE(List().horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);

        // Header clicks: the same header toggles, another starts ascending.
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
        auto click = [this](int column) {
            QHeaderView* header = List().horizontalHeader();
            const QPoint at(header->sectionViewportPosition(column) + 5, header->height() / 2);
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
        };
        click(CLocalListModel::TimeColumn);
        QCOMPARE(List().SortDirection(), int(CLocalListModel::Ascending));
        QCOMPARE(Names(List()), (QStringList{"..", "a", "b", "y.bin", "z.bin", "x.bin", "W.bin"}));
        click(CLocalListModel::TimeColumn);
        QCOMPARE(List().SortDirection(), int(CLocalListModel::Descending));
        QCOMPARE(Names(List()).mid(1, 2), (QStringList{"W.bin", "x.bin"}));
        click(CLocalListModel::NameColumn);
        QCOMPARE(List().SortColumn(), int(CLocalListModel::NameColumn));
        QCOMPARE(List().SortDirection(), int(CLocalListModel::Ascending));
        QCOMPARE(Names(List()), (QStringList{"..", "a", "b", "W.bin", "x.bin", "y.bin", "z.bin"}));

        // A long list sorts in steps between window events: the rows stay until the last step,
        // a second click starts over on its column, the selection and the current row follow.
        List().SetSortInStepsRows(2);
        List().SetStepBudgetNs(1);
        Select(List(), {QStringLiteral("x.bin"), QStringLiteral("a")});
        List().selectionModel()->setCurrentIndex(List().Model()->index(RowNamed(List(), QStringLiteral("y.bin")), 0),
                                                 QItemSelectionModel::NoUpdate);
        List().SortByColumn(CLocalListModel::SizeColumn, CLocalListModel::Descending);
        QVERIFY(List().IsSorting());
        click(CLocalListModel::TimeColumn);
        QVERIFY(List().IsSorting());
        QCOMPARE(Names(List()), (QStringList{"..", "a", "b", "W.bin", "x.bin", "y.bin", "z.bin"}));
        QTRY_VERIFY(!List().IsSorting());
        QCOMPARE(List().SortColumn(), int(CLocalListModel::TimeColumn));
        QCOMPARE(Names(List()), (QStringList{"..", "a", "b", "y.bin", "z.bin", "x.bin", "W.bin"}));
        QCOMPARE(List().SelectedRows(), (QList<int>{1, 5}));
        QCOMPARE(List().currentIndex().data().toString(), QStringLiteral("y.bin"));
        // Every row chosen: every row is chosen after the move.
        List().selectAll();
        click(CLocalListModel::SizeColumn);
        QTRY_VERIFY(!List().IsSorting());
        QCOMPARE(List().SelectedRows(), (QList<int>{0, 1, 2, 3, 4, 5, 6}));
        QCOMPARE(Names(List()), (QStringList{"..", "a", "b", "W.bin", "y.bin", "x.bin", "z.bin"}));
        // Another folder opened meanwhile: its rows are its own, sorted as it is read.
        List().SortByColumn(CLocalListModel::SizeColumn, CLocalListModel::Ascending);
        QVERIFY(Open(List(), Path(QStringLiteral("a"))));
        QTRY_VERIFY(!List().IsSorting());
        QCOMPARE(Names(List()), (QStringList{".."}));
    }

    void typeNamesFallBackToTheExtension()
    {
        MakeFile(Path(QStringLiteral("datafile")));
        MakeFile(Path(QStringLiteral("a.xyz")));
        MakeFile(Path(QStringLiteral("note.txt")));
        QDir(m_dir.path()).mkdir(QStringLiteral("album.txt"));
        QVERIFY(Open(List(), m_dir.path()));
        QCOMPARE(Cell(List(), 0, CLocalListModel::TypeColumn), QString()); // ".."
        QCOMPARE(Cell(List(), RowNamed(List(), QStringLiteral("datafile")), CLocalListModel::TypeColumn), QStringLiteral("File"));
        QCOMPARE(Cell(List(), RowNamed(List(), QStringLiteral("a.xyz")), CLocalListModel::TypeColumn), QStringLiteral("XYZ-file"));
        const QString text = Cell(List(), RowNamed(List(), QStringLiteral("note.txt")), CLocalListModel::TypeColumn);
        QVERIFY(!text.isEmpty() && text != QStringLiteral("TXT-file"));
        // A folder named like a file is still a folder, even after the extension is known.
        const QString folder = Cell(List(), RowNamed(List(), QStringLiteral("album.txt")), CLocalListModel::TypeColumn);
        QVERIFY(folder != text);
        // Names without a dot the type database knows by name keep their own type; the check
        // that spares the database the other dotless names must not swallow them.
        MakeFile(Path(QStringLiteral("Makefile")));
        MakeFile(Path(QStringLiteral("draft~")));
        MakeFile(Path(QStringLiteral("README")));
        QVERIFY(Open(List(), m_dir.path()));
        for (const char* name : {"Makefile", "draft~", "README"}) {
            const QString known = QMimeDatabase().mimeTypeForFile(QString::fromLatin1(name), QMimeDatabase::MatchExtension).comment();
            QCOMPARE(Cell(List(), RowNamed(List(), QString::fromLatin1(name)), CLocalListModel::TypeColumn), known);
            QVERIFY(known != QStringLiteral("File"));
        }
        QCOMPARE(Cell(List(), RowNamed(List(), QStringLiteral("datafile")), CLocalListModel::TypeColumn), QStringLiteral("File"));
        QCOMPARE(Cell(List(), RowNamed(List(), QStringLiteral("a.xyz")), CLocalListModel::SizeColumn), QStringLiteral("0"));
        QVERIFY(Cell(List(), 0, CLocalListModel::TimeColumn).isEmpty());
        QVERIFY(!Cell(List(), 1, CLocalListModel::TimeColumn).isEmpty());
    }

    void typeAheadFindsTheNextMatchAndWraps()
    {
        for (const char* name : {"apple", "banana", "berry", "cherry"})
            MakeFile(Path(QString::fromLatin1(name)));
        QVERIFY(Open(List(), m_dir.path()));
        List().setCurrentIndex(List().Model()->index(RowNamed(List(), QStringLiteral("berry")), 0));
        QCOMPARE(List().Model()->FindPrefix(QStringLiteral("B"), 3), RowNamed(List(), QStringLiteral("berry")));
        QCOMPARE(List().Model()->FindPrefix(QStringLiteral("b"), 4), RowNamed(List(), QStringLiteral("banana")));
        QCOMPARE(List().Model()->FindPrefix(QStringLiteral("q"), 0), -1);
        QTest::keyClicks(&List(), QStringLiteral("ch"));
        QCOMPARE(List().SelectedRows(), QList<int>{RowNamed(List(), QStringLiteral("cherry"))});
    }

    void uploadsMakeOneOrderPerRowWithoutTheParentRow()
    {
        QDir dir(m_dir.path());
        for (const QString& folder : {QStringLiteral("*.*"), QStringLiteral("사진")})
            dir.mkdir(folder);
        MakeFile(Path(QStringLiteral("*.*/inside.txt")), 3);
        MakeFile(Path(QStringLiteral("outside.txt")), 4);
        MakeFile(Path(QStringLiteral("a?b.txt")), 1);
        MakeFile(Path(QStringLiteral("back\\slash")), 1);
        MakeFile(Path(QStringLiteral("한글 파일.txt")), 1);
        // A name with capitals whose bytes are not UTF-8: the order names the file's own bytes.
        const QByteArray rawName("Raw\xe9 NAME.BIN");
        const QByteArray rawPath = QFile::encodeName(m_dir.path()) + '/' + rawName;
        {
            const int fd = ::open(rawPath.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, "raw bytes", 9), ssize_t(9));
            ::close(fd);
        }

        // From the volume list nothing is uploaded and nothing can be dragged.
        Select(List(), {QStringLiteral("홈 폴더")});
        List().UploadSelection();
        QVERIFY(m_host.orders.empty());
        QVERIFY(!List().CanStartDrag());
        QVERIFY(!List().UploadAction()->isEnabled());

        QVERIFY(Open(List(), m_dir.path()));
        Select(List(), {QStringLiteral(".."), QStringLiteral("*.*"), QStringLiteral("사진"), QStringLiteral("a?b.txt"),
                        QStringLiteral("back\\slash"), QStringLiteral("한글 파일.txt"), QStringLiteral("Raw\uFFFD NAME.BIN")});
        QVERIFY(!List().CanStartDrag()); // ".." is chosen
        QVERIFY(List().UploadAction()->isEnabled());
        List().UploadAction()->trigger();
        const std::string base = m_dir.path().toStdString() + '/';
        QCOMPARE(m_host.orders.size(), size_t(6));
        QCOMPARE(m_host.folderRows, (QStringList{"*.*", "사진"}));
        const CUploadOrder& star = m_host.orders[0];
        QCOMPARE(star.kind, 1);
        QCOMPARE(star.source, base + "*.*/");
        QCOMPARE(star.name, std::string("*.*/"));
        QCOMPARE(star.remoteFolder, std::string("/up/"));
        QCOMPARE(m_host.orders[1].name, std::string("사진/"));
        QCOMPARE(m_host.orders[2].kind, 0);
        QCOMPARE(m_host.orders[2].source, base + "a?b.txt");
        QCOMPARE(m_host.orders[3].source, base + "back\\slash");
        QCOMPARE(m_host.orders[4].source, rawPath.toStdString()); // sorted as "raw ..."
        QCOMPARE(m_host.orders[5].name, std::string("한글 파일.txt"));
        std::vector<std::unique_ptr<CUploadRequest>> raw;
        ExpandUploadOrder(m_host.orders[4], [&](std::unique_ptr<CUploadRequest> r) { raw.push_back(std::move(r)); });
        QCOMPARE(raw.size(), size_t(1));
        char bytes[16] = {};
        const int fd = ::open(raw[0]->localPath.c_str(), O_RDONLY);
        const ssize_t got = fd >= 0 ? ::read(fd, bytes, sizeof bytes) : -1;
        if (fd >= 0)
            ::close(fd);
        QCOMPARE(::unlink(rawPath.constData()), 0); // a name the temporary folder's own removal cannot take
        QCOMPARE(QByteArray(bytes, int(got)), QByteArray("raw bytes"));

        // The folder named "*.*" is that folder, not a pattern over its parent.
        std::vector<std::string> sent;
        ExpandUploadOrder(star, [&](std::unique_ptr<CUploadRequest> r) { sent.push_back(r->remotePath); });
        QCOMPARE(sent, (std::vector<std::string>{"up/*.*/", "up/*.*/inside.txt"}));

        // Not connected: nothing is taken.
        m_host.orders.clear();
        m_host.ready = false;
        List().UpdateActions();
        QVERIFY(!List().UploadAction()->isEnabled());
        List().UploadSelection();
        QVERIFY(m_host.orders.empty());
    }

    void dropsOnTheRemotePaneUploadTheSelectionOrTheDroppedFiles()
    {
        IdleRemoteHost remoteHost;
        CRemoteView remote(remoteHost);
        remote.resize(400, 300);
        m_host.remotePane = &remote;
        InstallRemoteDropTarget(remote, List());
        QDir(m_dir.path()).mkdir(QStringLiteral("folder"));
        MakeFile(Path(QStringLiteral("one.txt")), 2);
        QVERIFY(Open(List(), m_dir.path()));
        Select(List(), {QStringLiteral("folder"), QStringLiteral("one.txt")});
        QVERIFY(List().CanStartDrag());
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
        QPoint origin;
        QVERIFY(!List().SelectionPixmap(&origin).isNull());

        auto drop = [&](QMimeData* data) {
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, data, Qt::LeftButton, {});
            QCoreApplication::sendEvent(remote.List()->viewport(), &enter);
            QDropEvent event(QPointF(10, 10), Qt::CopyAction, data, Qt::LeftButton, {});
            QCoreApplication::sendEvent(remote.List()->viewport(), &event);
            const bool taken = enter.isAccepted() && event.isAccepted();
            delete data;
            return taken;
        };
        QVERIFY(drop(List().SelectionMimeData()));
        QCOMPARE(m_host.orders.size(), size_t(2));
        QCOMPARE(m_host.orders[0].source, Path(QStringLiteral("folder/")).toStdString());
        QCOMPARE(m_host.orders[1].name, std::string("one.txt"));
        QVERIFY(remote.HasItemNamed(QStringLiteral("folder")));
        QCOMPARE(remote.DropTargetRow(), -1);

        // Files from the desktop: local ones only, taken as they are.
        m_host.orders.clear();
        auto* uris = new QMimeData;
        uris->setUrls({QUrl::fromLocalFile(Path(QStringLiteral("one.txt"))), QUrl::fromLocalFile(Path(QStringLiteral("gone"))),
                       QUrl(QStringLiteral("https://example.invalid/x.txt"))});
        QVERIFY(drop(uris));
        QCOMPARE(m_host.orders.size(), size_t(1));
        QCOMPARE(m_host.orders[0].source, Path(QStringLiteral("one.txt")).toStdString());
        QCOMPARE(m_host.orders[0].remoteFolder, std::string("/up/"));

        // A selection drag from another list (or an earlier folder), plain text, or no connection: refused.
        m_host.orders.clear();
        auto* foreign = new QMimeData;
        foreign->setData(QString::fromLatin1(CLocalListCtrl::kSelectionMime), QByteArray("1 2\n/etc/"));
        QVERIFY(!drop(foreign));
        auto* text = new QMimeData;
        text->setText(QStringLiteral("one.txt"));
        QVERIFY(!drop(text));
        m_host.ready = false;
        QVERIFY(!drop(List().SelectionMimeData()));
        QVERIFY(m_host.orders.empty());
    }
};

QTEST_MAIN(LocalPaneTest)
#include "local_pane_test.moc"
