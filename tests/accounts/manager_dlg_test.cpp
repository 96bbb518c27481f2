// The account book dialog over a temporary working folder: what it loads, its enable rules,
// adding, deleting, saving and connecting.

#include "accounts/manager_dlg.h"
#include "app/prompt.h"
#include "panes/folder_dlg.h"
#include "platform/workdir.h"
#include "tests/common/scripted_prompt.h"

#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

using namespace talvex;

namespace {

// A folder of two accounts and one account directly under the root, neither sorted.
const QByteArray kStore = "<Talvex>\r\n<Users>\r\n"
                          "<User Name=\"zed\" ID=\"zid\" Pass=\"\" Description=\"\"/>\r\n"
                          "<Folder Name=\"Team\">\r\n"
                          "<User Name=\"kim\" ID=\"kimid\" Pass=\"PASS_KIM\" Description=\"desk 2\"/>\r\n"
                          "<User Name=\"bae\" ID=\"baeid\" Pass=\"12a\" Description=\"\"/>\r\n"
                          "</Folder>\r\n"
                          "</Users>\r\n</Talvex>\r\n";

// The item texts below an item: "a,b(c,d)".
QString Labels(const QTreeWidgetItem* item)
{
    QStringList parts;
    for (int i = 0; i < item->childCount(); ++i) {
        const QTreeWidgetItem* child = item->child(i);
        parts << (child->childCount() ? child->text(0) + QLatin1Char('(') + Labels(child) + QLatin1Char(')')
                                      : child->text(0));
    }
    return parts.join(QLatin1Char(','));
}

QTreeWidgetItem* Find(const CManagerDlg& dlg, const QString& name)
{
    const auto found = dlg.Tree()->findItems(name, Qt::MatchExactly | Qt::MatchRecursive);
    return found.size() == 1 ? found.first() : nullptr;
}

bool FieldsEnabled(const CManagerDlg& dlg)
{
    return dlg.NameEdit()->isEnabled() && dlg.UserIdEdit()->isEnabled() && dlg.PasswordEdit()->isEnabled()
           && dlg.DescriptionEdit()->isEnabled();
}

bool FieldsDisabled(const CManagerDlg& dlg)
{
    return !dlg.NameEdit()->isEnabled() && !dlg.UserIdEdit()->isEnabled() && !dlg.PasswordEdit()->isEnabled()
           && !dlg.DescriptionEdit()->isEnabled();
}

QStringList Fields(const CManagerDlg& dlg)
{
    return {dlg.NameEdit()->text(), dlg.UserIdEdit()->text(), dlg.PasswordEdit()->text(),
            dlg.DescriptionEdit()->text()};
}

void Type(CManagerDlg& dlg, const QString& name, const QString& id, const QString& pass, const QString& desc = {})
{
    dlg.NameEdit()->setText(name);
    dlg.UserIdEdit()->setText(id);
    dlg.PasswordEdit()->setText(pass);
    dlg.DescriptionEdit()->setText(desc);
}

} // namespace

class ManagerDlgTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        qputenv("TALVEX_CONFIG_FILE", (m_dir->path() + QStringLiteral("/talvex.ini")).toUtf8());
        SetAppDir(m_dir->path().toStdString() + "/");
        m_path = m_dir->path() + QStringLiteral("/Talvex.xml");
        m_prompt.Clear();
        SetPrompt(&m_prompt);
    }
    void cleanup() { SetPrompt(nullptr); }

    void loadsTheStoreSortedUnderTheRoot()
    {
        QByteArray store = kStore;
        store.replace("PASS_KIM", ScramblePassword("s3cret").c_str());
        Write(store);
        CManagerDlg dlg({});
        QCOMPARE(dlg.windowTitle(), QStringLiteral("사용자 관리"));
        QCOMPARE(dlg.DetailsGroup()->title(), QStringLiteral("상세정보"));
        QCOMPARE(dlg.Tree()->topLevelItemCount(), 1);
        QCOMPARE(dlg.RootItem()->text(0), QStringLiteral("사용자 계정"));
        QCOMPARE(Labels(dlg.RootItem()), QStringLiteral("Team(bae,kim),zed"));
        QVERIFY(dlg.RootItem()->isExpanded());
        QCOMPARE(dlg.Tree()->currentItem(), dlg.RootItem());
        for (const char* name : {"Team", "kim", "zed"})
            QVERIFY(!Find(dlg, QString::fromLatin1(name))->icon(0).isNull());
        QVERIFY(!dlg.RootItem()->icon(0).isNull());

        // Each item is bound to its own entry; a password with a non-digit loads empty.
        QTreeWidgetItem* kim = Find(dlg, QStringLiteral("kim"));
        QCOMPARE(dlg.NodeOf(kim)->Entry().password, std::string("s3cret"));
        QCOMPARE(dlg.NodeOf(kim)->Entry().description, std::string("desk 2"));
        QVERIFY(dlg.NodeOf(Find(dlg, QStringLiteral("Team")))->IsFolder());
        QCOMPARE(dlg.NodeOf(Find(dlg, QStringLiteral("bae")))->Entry().password, std::string());
        QVERIFY(!dlg.NodeOf(dlg.RootItem()));
    }

    void aMissingOrBrokenStoreShowsOnlyTheRoot()
    {
        {
            CManagerDlg dlg({});
            QCOMPARE(dlg.RootItem()->childCount(), 0);
        }
        Write("<Talvex><Users><User Name=\"a\"");
        CManagerDlg dlg({});
        QCOMPARE(dlg.RootItem()->childCount(), 0);
        QVERIFY(m_prompt.shown.isEmpty());
    }

    void buttonsAndFieldsFollowTheSelection()
    {
        QByteArray store = kStore;
        store.replace("PASS_KIM", ScramblePassword("s3cret").c_str());
        Write(store);
        CManagerDlg dlg({});
        // At the start: the root selected.
        QVERIFY(FieldsDisabled(dlg));
        QVERIFY(!dlg.DeleteButton()->isEnabled());
        QVERIFY(!dlg.ConnectButton()->isEnabled());
        QVERIFY(!dlg.ConfirmAddButton()->isEnabled());
        for (QPushButton* b : {dlg.NewFolderButton(), dlg.AddButton(), dlg.SaveButton(), dlg.OkButton()})
            QVERIFY(b->isEnabled());
        QCOMPARE(dlg.PasswordEdit()->echoMode(), QLineEdit::Password);

        dlg.Tree()->setCurrentItem(Find(dlg, QStringLiteral("kim")));
        QCOMPARE(Fields(dlg), (QStringList{"kim", "kimid", "s3cret", "desk 2"}));
        QVERIFY(FieldsDisabled(dlg));
        QVERIFY(dlg.DeleteButton()->isEnabled());
        QVERIFY(dlg.ConnectButton()->isEnabled());

        dlg.Tree()->setCurrentItem(Find(dlg, QStringLiteral("Team")));
        QCOMPARE(Fields(dlg), (QStringList{"", "", "", ""}));
        QVERIFY(dlg.DeleteButton()->isEnabled());
        QVERIFY(!dlg.ConnectButton()->isEnabled());

        dlg.Tree()->setCurrentItem(Find(dlg, QStringLiteral("zed")));
        dlg.Tree()->setCurrentItem(dlg.RootItem());
        QCOMPARE(Fields(dlg), (QStringList{"", "", "", ""}));
        QVERIFY(!dlg.DeleteButton()->isEnabled());
        QVERIFY(!dlg.ConnectButton()->isEnabled());

        // "추가" clears and opens the fields; choosing another item ends the new account, so
        // that "추가확인" cannot copy the account now shown.
        dlg.Tree()->setCurrentItem(Find(dlg, QStringLiteral("kim")));
        QTest::mouseClick(dlg.AddButton(), Qt::LeftButton);
        QCOMPARE(Fields(dlg), (QStringList{"", "", "", ""}));
        QVERIFY(FieldsEnabled(dlg));
        QVERIFY(dlg.ConfirmAddButton()->isEnabled());
        QCOMPARE(dlg.focusWidget(), dlg.NameEdit());
        dlg.Tree()->setCurrentItem(Find(dlg, QStringLiteral("zed")));
        QVERIFY(!dlg.ConfirmAddButton()->isEnabled());
        QVERIFY(FieldsDisabled(dlg));
        QCOMPARE(dlg.NameEdit()->text(), QStringLiteral("zed"));
    }

    void addTrimsAndPlacesTheAccount()
    {
        Write(kStore);
        CManagerDlg dlg({});
        // An account selected: the new one goes under the root, not beside it in the folder.
        dlg.Tree()->setCurrentItem(Find(dlg, QStringLiteral("kim")));
        QTest::mouseClick(dlg.AddButton(), Qt::LeftButton);
        Type(dlg, QStringLiteral("  lee "), QStringLiteral("\tleeid "), QStringLiteral(" pw 1 "), QStringLiteral(" note "));
        QTest::mouseClick(dlg.ConfirmAddButton(), Qt::LeftButton);
        QVERIFY(m_prompt.shown.isEmpty());
        QCOMPARE(Labels(dlg.RootItem()), QStringLiteral("lee,Team(bae,kim),zed")); // case-blind order
        QTreeWidgetItem* lee = Find(dlg, QStringLiteral("lee"));
        QCOMPARE(dlg.Tree()->currentItem(), lee);
        const AccountEntry& e = dlg.NodeOf(lee)->Entry();
        QCOMPARE(e.name, std::string("lee"));
        QCOMPARE(e.userId, std::string("leeid"));
        QCOMPARE(e.password, std::string("pw 1"));
        QCOMPARE(e.description, std::string(" note ")); // as typed
        QCOMPARE(e.kind, int(AccountEntry::kAccount));
        QVERIFY(!dlg.ConfirmAddButton()->isEnabled());
        QVERIFY(FieldsDisabled(dlg));
        QVERIFY(dlg.ConnectButton()->isEnabled());

        // A folder selected: into the folder, in its sorted place; names need not be unique.
        dlg.Tree()->setCurrentItem(Find(dlg, QStringLiteral("Team")));
        QTest::mouseClick(dlg.AddButton(), Qt::LeftButton);
        Type(dlg, QStringLiteral("cho"), QStringLiteral("c"), QStringLiteral("p"));
        QTest::mouseClick(dlg.ConfirmAddButton(), Qt::LeftButton);
        dlg.Tree()->setCurrentItem(dlg.RootItem());
        QTest::mouseClick(dlg.AddButton(), Qt::LeftButton);
        Type(dlg, QStringLiteral("zed"), QStringLiteral("z2"), QStringLiteral("p"));
        QTest::mouseClick(dlg.ConfirmAddButton(), Qt::LeftButton);
        QCOMPARE(Labels(dlg.RootItem()), QStringLiteral("lee,Team(bae,cho,kim),zed,zed"));
        QCOMPARE(dlg.Book().Root().ChildCount(), size_t(4));
        QCOMPARE(dlg.Book().Root().Child(1)->ChildCount(), size_t(3));
        QCOMPARE(dlg.Book().Root().Child(3)->Entry().userId, std::string("z2"));
    }

    void confirmAddRefusesEmptyFieldsInOrder()
    {
        CManagerDlg dlg({});
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QTest::mouseClick(dlg.AddButton(), Qt::LeftButton);
        Type(dlg, QStringLiteral("   "), QString(), QString());
        QTest::mouseClick(dlg.ConfirmAddButton(), Qt::LeftButton);
        QCOMPARE(dlg.focusWidget(), dlg.NameEdit());
        Type(dlg, QStringLiteral("kim"), QStringLiteral(" \t "), QString());
        QTest::mouseClick(dlg.ConfirmAddButton(), Qt::LeftButton);
        QCOMPARE(dlg.focusWidget(), dlg.UserIdEdit());
        Type(dlg, QStringLiteral("kim"), QStringLiteral("kimid"), QStringLiteral("  "));
        QTest::mouseClick(dlg.ConfirmAddButton(), Qt::LeftButton);
        QCOMPARE(dlg.focusWidget(), dlg.PasswordEdit());

        QCOMPARE(m_prompt.shown, (QStringList{QStringLiteral("이름을 입력하세요"), QStringLiteral("사용자 계정을 입력하세요"),
                                              QStringLiteral("비밀번호를 입력하세요")}));
        for (const auto& box : m_prompt.boxes) {
            QCOMPARE(box.caption, QStringLiteral("Talvex"));
            QCOMPARE(box.icon, PromptIcon::Error);
            QCOMPARE(box.buttons, PromptButtons::Ok);
        }
        // Nothing was added and the entry goes on.
        QCOMPARE(dlg.RootItem()->childCount(), 0);
        QVERIFY(dlg.ConfirmAddButton()->isEnabled());
        QVERIFY(FieldsEnabled(dlg));
        QCOMPARE(dlg.isVisible(), true);
    }

    void deleteTakesTheSubtreeAndOkWritesNothing()
    {
        Write(kStore);
        CManagerDlg dlg({});
        dlg.Tree()->setCurrentItem(Find(dlg, QStringLiteral("kim")));
        QTest::mouseClick(dlg.DeleteButton(), Qt::LeftButton);
        QCOMPARE(Labels(dlg.RootItem()), QStringLiteral("Team(bae),zed"));
        // The folder takes the selection: its fields, no connect.
        QCOMPARE(dlg.Tree()->currentItem(), Find(dlg, QStringLiteral("Team")));
        QVERIFY(!dlg.ConnectButton()->isEnabled());
        QTest::mouseClick(dlg.DeleteButton(), Qt::LeftButton);
        QCOMPARE(Labels(dlg.RootItem()), QStringLiteral("zed"));
        QCOMPARE(dlg.Book().Root().ChildCount(), size_t(1));
        QCOMPARE(dlg.Tree()->currentItem(), dlg.RootItem());
        QVERIFY(!dlg.DeleteButton()->isEnabled());
        QVERIFY(m_prompt.shown.isEmpty()); // no confirmation
        QTest::mouseClick(dlg.OkButton(), Qt::LeftButton);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(Read(), kStore);
        CManagerDlg again({});
        QCOMPARE(Labels(again.RootItem()), QStringLiteral("Team(bae,kim),zed"));
    }

    void saveWritesTheStoreAndReadsItBack()
    {
        CManagerDlg empty({});
        QTest::mouseClick(empty.SaveButton(), Qt::LeftButton);
        QCOMPARE(Read(), QByteArray("<Talvex>\r\n<Users/>\r\n</Talvex>\r\n"));
        QVERIFY(m_prompt.shown.isEmpty());

        const QString odd = QStringLiteral("a<b&c>'d\"e");
        {
            CManagerDlg dlg({});
            dlg.m_askFolderName = [&](QString& name) {
                name = odd + QStringLiteral(" 폴더");
                return true;
            };
            QTest::mouseClick(dlg.NewFolderButton(), Qt::LeftButton);
            dlg.Tree()->setCurrentItem(Find(dlg, odd + QStringLiteral(" 폴더")));
            QTest::mouseClick(dlg.AddButton(), Qt::LeftButton);
            Type(dlg, odd, QStringLiteral("id1"), QStringLiteral("pw-123"), odd + QStringLiteral(" 설명"));
            QTest::mouseClick(dlg.ConfirmAddButton(), Qt::LeftButton);
            QTest::mouseClick(dlg.SaveButton(), Qt::LeftButton);
            QCOMPARE(dlg.result(), 0); // "저장" does not close
        }
        const QByteArray bytes = Read();
        QVERIFY(bytes.contains("a&lt;b&amp;c&gt;&apos;d&quot;e"));
        QVERIFY(!bytes.contains("pw-123"));
        QVERIFY(bytes.contains(QByteArray("Pass=\"") + ScramblePassword("pw-123").c_str() + "\""));
        QVERIFY(bytes.startsWith("<Talvex>\r\n<Users>\r\n<Folder Name="));

        CManagerDlg again({});
        QTreeWidgetItem* folder = again.RootItem()->child(0);
        QCOMPARE(folder->text(0), odd + QStringLiteral(" 폴더"));
        QCOMPARE(folder->childCount(), 1);
        QCOMPARE(folder->child(0)->text(0), odd);
        again.Tree()->setCurrentItem(folder->child(0));
        QCOMPARE(Fields(again), (QStringList{odd, "id1", "pw-123", odd + QStringLiteral(" 설명")}));
    }

    void aFailedSaveKeepsTheFileAndWarns()
    {
        Write(kStore);
        CManagerDlg dlg({});
        QTest::mouseClick(dlg.AddButton(), Qt::LeftButton);
        // Not writable in the wire encoding.
        Type(dlg, QStringLiteral("smile \U0001F600"), QStringLiteral("id"), QStringLiteral("secret-pw"));
        QTest::mouseClick(dlg.ConfirmAddButton(), Qt::LeftButton);
        QTest::mouseClick(dlg.SaveButton(), Qt::LeftButton);
        QCOMPARE(Read(), kStore);
        QCOMPARE(m_prompt.boxes.size(), 1);
        const auto& box = m_prompt.boxes.first();
        QCOMPARE(box.icon, PromptIcon::Warning);
        QCOMPARE(box.caption, QStringLiteral("Talvex"));
        QVERIFY(box.text.startsWith(QStringLiteral("사용자 계정을 저장하지 못했습니다.\n")));
        QVERIFY(box.text.size() > QStringLiteral("사용자 계정을 저장하지 못했습니다.\n").size());
        QVERIFY(!box.text.contains(QStringLiteral("secret-pw")));
    }

    void newFolderAsksForANameAndGoesUnderTheRoot()
    {
        Write(kStore);
        CManagerDlg dlg({});
        dlg.Tree()->setCurrentItem(Find(dlg, QStringLiteral("kim")));
        // The real folder-name dialog: typed, trimmed by it, accepted.
        QString title;
        QTimer::singleShot(0, this, [&] {
            auto* ask = qobject_cast<CFolderDlg*>(QApplication::activeModalWidget());
            QVERIFY(ask);
            title = ask->windowTitle();
            ask->NameEdit()->setText(QStringLiteral("  Alpha "));
            ask->accept();
        });
        QTest::mouseClick(dlg.NewFolderButton(), Qt::LeftButton);
        QCOMPARE(title, QStringLiteral("새 폴더 만들기"));
        QCOMPARE(Labels(dlg.RootItem()), QStringLiteral("Alpha,Team(bae,kim),zed"));
        QVERIFY(dlg.NodeOf(Find(dlg, QStringLiteral("Alpha")))->IsFolder());

        QTimer::singleShot(0, this, [] {
            if (auto* ask = qobject_cast<CFolderDlg*>(QApplication::activeModalWidget()))
                ask->reject();
        });
        QTest::mouseClick(dlg.NewFolderButton(), Qt::LeftButton);
        QCOMPARE(Labels(dlg.RootItem()), QStringLiteral("Alpha,Team(bae,kim),zed"));
    }

    void connectHandsOverTheSelectedAccount()
    {
        QByteArray store = kStore;
        store.replace("PASS_KIM", ScramblePassword("s3cret").c_str());
        Write(store);
        QStringList handed;
        CManagerDlg dlg([&](const QString& id, const QString& pw) { handed << id << pw; });
        dlg.Tree()->setCurrentItem(Find(dlg, QStringLiteral("kim")));
        // A new account half typed does not replace the selected one.
        QTest::mouseClick(dlg.AddButton(), Qt::LeftButton);
        Type(dlg, QStringLiteral("x"), QStringLiteral("other"), QStringLiteral("otherpw"));
        QTest::mouseClick(dlg.ConnectButton(), Qt::LeftButton);
        QCOMPARE(handed, (QStringList{"kimid", "s3cret"}));
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(Read(), store);
    }

private:
    void Write(const QByteArray& bytes)
    {
        QFile f(m_path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    QByteArray Read() const
    {
        QFile f(m_path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    talvex::test::ScriptedPrompt m_prompt;
};

QTEST_MAIN(ManagerDlgTest)
#include "manager_dlg_test.moc"
