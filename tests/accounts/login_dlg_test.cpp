// The login dialog: what it fills in from the saved id, and what it refuses.

#include "accounts/login_dlg.h"
#include "app/prompt.h"
#include "app/registry_key.h"
#include "tests/common/scripted_prompt.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

class LoginDlgTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        qputenv("TALVEX_CONFIG_FILE", (m_dir->path() + QStringLiteral("/talvex.ini")).toUtf8());
        m_prompt.Clear();
        SetPrompt(&m_prompt);
    }
    void cleanup() { SetPrompt(nullptr); }

    void aSavedIdIsFilledInAndThePasswordTakesTheFocus()
    {
        Save(QStringLiteral("홍길동"));
        CLoginDlg dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Talvex login"));
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(dlg.UserIdEdit()->text(), QStringLiteral("홍길동"));
        QVERIFY(dlg.SaveBox()->isChecked());
        QVERIFY(dlg.PasswordEdit()->text().isEmpty());
        QCOMPARE(dlg.PasswordEdit()->echoMode(), QLineEdit::Password);
        QTRY_VERIFY(dlg.PasswordEdit()->hasFocus());
    }

    void withoutASavedIdEverythingStartsEmpty()
    {
        Save(QString(200, QLatin1Char('x'))); // too long for the read buffer: treated as absent
        CLoginDlg dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QVERIFY(dlg.UserIdEdit()->text().isEmpty());
        QVERIFY(!dlg.SaveBox()->isChecked());
        QTRY_VERIFY(dlg.UserIdEdit()->hasFocus());
    }

    void okChecksTheIdFirstThenThePassword()
    {
        CLoginDlg dlg;
        dlg.accept();
        QCOMPARE(m_prompt.shown, QStringList{QStringLiteral("사용자 계정을 입력하세요")});
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        dlg.UserIdEdit()->setText(QStringLiteral("   ")); // blanks count as typed
        dlg.accept();
        QCOMPARE(m_prompt.shown.last(), QStringLiteral("비밀번호를 입력하세요"));
        dlg.PasswordEdit()->setText(QStringLiteral("pw"));
        dlg.SaveBox()->setChecked(true);
        dlg.accept();
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QCOMPARE(dlg.m_strUserId, QStringLiteral("   "));
        QCOMPARE(dlg.m_strPassword, QStringLiteral("pw"));
        QVERIFY(dlg.m_bSave);
        QCOMPARE(m_prompt.shown.size(), 2);
    }

private:
    static void Save(const QString& id)
    {
        CRegistryKey key;
        key.Create(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey));
        key.WriteString(QString::fromLatin1(kValueUserId), id);
    }
    std::unique_ptr<QTemporaryDir> m_dir;
    talvex::test::ScriptedPrompt m_prompt;
};

QTEST_MAIN(LoginDlgTest)
#include "login_dlg_test.moc"
