#pragma once
// CManagerDlg: the account book on screen. The tree shows the book's folders and accounts as
// the book orders them; the details group shows the selected account and takes a new one.
// Nothing reaches the file until "저장"; "접속" hands the selected account to the caller.
// With a password store, the book's passwords live there (password_store.h): read when the
// dialog opens, moved there by "저장".

#include "accounts/account_book.h"
#include "accounts/password_store.h"

#include <QDialog>
#include <QHash>

#include <functional>
#include <memory>

class QGroupBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

class CManagerDlg : public QDialog {
    Q_OBJECT
public:
    // Receives the user id and password of the account chosen with "접속".
    using ConnectFn = std::function<void(const QString& userId, const QString& password)>;

    // passwords: the secret store for the book's passwords; null keeps them in the file only.
    explicit CManagerDlg(ConnectFn onConnect, QWidget* parent = nullptr, talvex::IPasswordStore* passwords = nullptr);

    // Asks for a new folder's name; true with a name on OK. Tests replace it.
    std::function<bool(QString& name)> m_askFolderName;

    talvex::CAccountBook& Book() { return m_book; }
    QTreeWidget* Tree() const { return m_pTree; }
    QTreeWidgetItem* RootItem() const { return m_pRootItem; }
    // The tree item of a book node; null when it has none.
    QTreeWidgetItem* ItemOf(const talvex::AccountNode* node) const { return m_items.value(node); }
    // The book node of a tree item; null for the root item.
    talvex::AccountNode* NodeOf(const QTreeWidgetItem* item) const;

    QGroupBox* DetailsGroup() const { return m_pDetails; }
    QLineEdit* NameEdit() const { return m_pName; }
    QLineEdit* UserIdEdit() const { return m_pUserId; }
    QLineEdit* PasswordEdit() const { return m_pPassword; }
    QLineEdit* DescriptionEdit() const { return m_pDescription; }
    QPushButton* NewFolderButton() const { return m_pNewFolder; }
    QPushButton* AddButton() const { return m_pAdd; }
    QPushButton* DeleteButton() const { return m_pDelete; }
    QPushButton* ConnectButton() const { return m_pConnect; }
    QPushButton* SaveButton() const { return m_pSave; }
    QPushButton* ConfirmAddButton() const { return m_pConfirmAdd; }
    QPushButton* OkButton() const { return m_pOk; }

    void OnNewFolder();
    void OnAdd();
    void OnConfirmAdd();
    void OnDelete();
    void OnConnect();
    void OnSave();

private:
    void LoadBook();
    void AddItems(QTreeWidgetItem* parentItem, const talvex::AccountNode& parent);
    QTreeWidgetItem* InsertItem(talvex::AccountNode* node);
    void ForgetItems(const talvex::AccountNode* node);
    void OnSelectionChanged();
    void ShowEntry(const talvex::AccountEntry* entry);
    void EnableFields(bool enable);
    talvex::AccountNode* SelectedNode() const;

    ConnectFn m_connect;
    talvex::CAccountBook m_book;
    std::unique_ptr<talvex::CBookPasswords> m_pPasswords;
    QHash<const talvex::AccountNode*, QTreeWidgetItem*> m_items;

    QTreeWidget* m_pTree;
    QTreeWidgetItem* m_pRootItem;
    QGroupBox* m_pDetails;
    QLineEdit* m_pName;
    QLineEdit* m_pUserId;
    QLineEdit* m_pPassword;
    QLineEdit* m_pDescription;
    QPushButton* m_pNewFolder;
    QPushButton* m_pAdd;
    QPushButton* m_pDelete;
    QPushButton* m_pConnect;
    QPushButton* m_pSave;
    QPushButton* m_pConfirmAdd;
    QPushButton* m_pOk;
};
