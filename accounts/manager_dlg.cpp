#include "res/accessible_texts.h"
#include "accounts/manager_dlg.h"

#include "app/prompt.h"
#include "panes/folder_dlg.h"
#include "res/string_table.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

using namespace talvex;

namespace {

QString T(const char* text) { return QString::fromUtf8(text); }
QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const QString& text) { return text.toStdString(); }

QPushButton* NewButton(const char* text, const char* name, QWidget* parent)
{
    auto* button = new QPushButton(T(text), parent);
    button->setObjectName(QLatin1String(name));
    // Enter in a field must not close the dialog and lose what was typed.
    button->setAutoDefault(false);
    return button;
}

} // namespace

CManagerDlg::CManagerDlg(ConnectFn onConnect, QWidget* parent, IPasswordStore* passwords)
    : QDialog(parent), m_connect(std::move(onConnect)),
      m_pPasswords(passwords ? std::make_unique<CBookPasswords>(*passwords) : nullptr), m_pTree(new QTreeWidget(this)), m_pRootItem(nullptr),
      m_pDetails(new QGroupBox(T(kTextManagerDetails), this)), m_pName(new QLineEdit(m_pDetails)),
      m_pUserId(new QLineEdit(m_pDetails)), m_pPassword(new QLineEdit(m_pDetails)),
      m_pDescription(new QLineEdit(m_pDetails)),
      m_pNewFolder(NewButton(kTextManagerNewFolder, "newFolder", this)),
      m_pAdd(NewButton(kTextManagerAdd, "add", this)), m_pDelete(NewButton(kTextManagerDelete, "delete", this)),
      m_pConnect(NewButton(kTextManagerConnect, "connect", this)),
      m_pSave(NewButton(kTextManagerSave, "save", this)),
      m_pConfirmAdd(NewButton(kTextManagerConfirmAdd, "confirmAdd", this)), m_pOk(NewButton("", "ok", this))
{
    // The menu text of the command that opens the dialog, without its status-bar prompt.
    setWindowTitle(Str(32821).section(QLatin1Char('\n'), 0, 0));
    setWindowIcon(QApplication::windowIcon());
    m_pOk->setText(Str(195));

    m_pTree->setObjectName(QStringLiteral("tree"));
    m_pTree->setAccessibleName(QString::fromUtf8(talvex::kAccAccounts));
    m_pTree->setHeaderHidden(true);
    m_pTree->setColumnCount(1);
    m_pTree->setRootIsDecorated(true);
    m_pTree->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pTree->setIconSize(QSize(16, 16));
    m_pTree->setMinimumWidth(200);

    m_pName->setObjectName(QStringLiteral("name"));
    m_pUserId->setObjectName(QStringLiteral("userId"));
    m_pPassword->setObjectName(QStringLiteral("password"));
    m_pPassword->setEchoMode(QLineEdit::Password);
    m_pDescription->setObjectName(QStringLiteral("description"));

    auto* fields = new QGridLayout(m_pDetails);
    fields->addWidget(new QLabel(T(kTextManagerName), m_pDetails), 0, 0);
    fields->addWidget(m_pName, 0, 1);
    fields->addWidget(new QLabel(Str(208), m_pDetails), 1, 0);
    fields->addWidget(m_pUserId, 1, 1);
    fields->addWidget(new QLabel(Str(209), m_pDetails), 2, 0);
    fields->addWidget(m_pPassword, 2, 1);
    fields->addWidget(new QLabel(T(kTextManagerDescription), m_pDetails), 3, 0);
    fields->addWidget(m_pDescription, 3, 1);
    fields->setColumnMinimumWidth(1, 180);

    auto* editButtons = new QHBoxLayout;
    for (QPushButton* button : {m_pNewFolder, m_pAdd, m_pDelete, m_pConnect})
        editButtons->addWidget(button);
    auto* closeButtons = new QHBoxLayout;
    for (QPushButton* button : {m_pSave, m_pConfirmAdd, m_pOk})
        closeButtons->addWidget(button);

    auto* right = new QVBoxLayout;
    right->addWidget(m_pDetails);
    right->addStretch(1);
    right->addLayout(editButtons);
    right->addLayout(closeButtons);

    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_pTree, 1);
    layout->addLayout(right);

    connect(m_pNewFolder, &QPushButton::clicked, this, &CManagerDlg::OnNewFolder);
    connect(m_pAdd, &QPushButton::clicked, this, &CManagerDlg::OnAdd);
    connect(m_pDelete, &QPushButton::clicked, this, &CManagerDlg::OnDelete);
    connect(m_pConnect, &QPushButton::clicked, this, &CManagerDlg::OnConnect);
    connect(m_pSave, &QPushButton::clicked, this, &CManagerDlg::OnSave);
    connect(m_pConfirmAdd, &QPushButton::clicked, this, &CManagerDlg::OnConfirmAdd);
    connect(m_pOk, &QPushButton::clicked, this, &CManagerDlg::accept);

    m_askFolderName = [this](QString& name) { return CFolderDlg::Ask(CFolderDlg::NewFolder, this, name); };

    m_pDelete->setEnabled(false);
    m_pConnect->setEnabled(false);
    m_pConfirmAdd->setEnabled(false);
    EnableFields(false);

    m_pRootItem = new QTreeWidgetItem(m_pTree, QStringList{T(kTextManagerRoot)});
    m_pRootItem->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
    m_pTree->setCurrentItem(m_pRootItem);
    connect(m_pTree, &QTreeWidget::currentItemChanged, this, &CManagerDlg::OnSelectionChanged);

    LoadBook();
}

AccountNode* CManagerDlg::NodeOf(const QTreeWidgetItem* item) const
{
    return item ? reinterpret_cast<AccountNode*>(item->data(0, Qt::UserRole).value<quintptr>()) : nullptr;
}

AccountNode* CManagerDlg::SelectedNode() const { return NodeOf(m_pTree->currentItem()); }

void CManagerDlg::LoadBook()
{
    // A missing or unreadable file leaves the tree with the root alone; nothing is shown.
    m_book.Load(CAccountBook::DefaultPath());
    if (m_pPasswords)
        m_pPasswords->AfterLoad(m_book);
    AddItems(m_pRootItem, m_book.Root());
    m_pRootItem->setExpanded(true);
}

void CManagerDlg::AddItems(QTreeWidgetItem* parentItem, const AccountNode& parent)
{
    for (size_t i = 0; i < parent.ChildCount(); ++i) {
        AccountNode* node = parent.Child(i);
        auto* item = new QTreeWidgetItem(parentItem, QStringList{Q(node->Entry().name)});
        item->setData(0, Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(node)));
        item->setIcon(0, style()->standardIcon(node->IsFolder() ? QStyle::SP_DirIcon : QStyle::SP_FileIcon));
        m_items.insert(node, item);
        AddItems(item, *node);
    }
}

QTreeWidgetItem* CManagerDlg::InsertItem(AccountNode* node)
{
    // The book has put the node in its sorted place: the item goes to the same index.
    AccountNode* parent = node->Parent();
    QTreeWidgetItem* parentItem = parent->IsRoot() ? m_pRootItem : m_items.value(parent);
    int index = 0;
    while (parent->Child(static_cast<size_t>(index)) != node)
        ++index;
    auto* item = new QTreeWidgetItem(QStringList{Q(node->Entry().name)});
    item->setData(0, Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(node)));
    item->setIcon(0, style()->standardIcon(node->IsFolder() ? QStyle::SP_DirIcon : QStyle::SP_FileIcon));
    parentItem->insertChild(index, item);
    m_items.insert(node, item);
    if (QTreeWidgetItem* current = m_pTree->currentItem())
        current->setExpanded(true);
    return item;
}

void CManagerDlg::ForgetItems(const AccountNode* node)
{
    m_items.remove(node);
    for (size_t i = 0; i < node->ChildCount(); ++i)
        ForgetItems(node->Child(i));
}

void CManagerDlg::EnableFields(bool enable)
{
    for (QLineEdit* edit : {m_pName, m_pUserId, m_pPassword, m_pDescription})
        edit->setEnabled(enable);
}

void CManagerDlg::ShowEntry(const AccountEntry* entry)
{
    m_pName->setText(entry ? Q(entry->name) : QString());
    m_pUserId->setText(entry ? Q(entry->userId) : QString());
    m_pPassword->setText(entry ? Q(entry->password) : QString());
    m_pDescription->setText(entry ? Q(entry->description) : QString());
}

void CManagerDlg::OnSelectionChanged()
{
    // Another item ends a new account being entered: its fields now show the selection.
    m_pConfirmAdd->setEnabled(false);
    EnableFields(false);
    const AccountNode* node = SelectedNode();
    if (node) {
        ShowEntry(node->IsFolder() ? nullptr : &node->Entry()); // a folder shows empty fields
        m_pDelete->setEnabled(true);
        m_pConnect->setEnabled(!node->IsFolder());
    } else {
        ShowEntry(nullptr);
        m_pDelete->setEnabled(false);
        m_pConnect->setEnabled(false);
    }
}

void CManagerDlg::OnAdd()
{
    ShowEntry(nullptr);
    EnableFields(true);
    m_pName->setFocus();
    m_pConfirmAdd->setEnabled(true);
}

void CManagerDlg::OnConfirmAdd()
{
    const QString name = m_pName->text().trimmed();
    const QString userId = m_pUserId->text().trimmed();
    const QString password = m_pPassword->text().trimmed();
    if (!RequireFilled(this, m_pName, name, T(kTextManagerNoName)) || !RequireFilled(this, m_pUserId, userId, Str(272))
        || !RequireFilled(this, m_pPassword, password, Str(273)))
        return;
    AccountEntry entry;
    entry.name = S(name);
    entry.userId = S(userId);
    entry.password = S(password);
    entry.description = S(m_pDescription->text());
    entry.kind = AccountEntry::kAccount;
    // Under the selected folder or the root; an account selected puts it under the root.
    AccountNode* node = m_book.AddAccount(SelectedNode(), std::move(entry));
    m_pTree->setCurrentItem(InsertItem(node));
    m_pConfirmAdd->setEnabled(false);
}

void CManagerDlg::OnNewFolder()
{
    QString name;
    if (!m_askFolderName || !m_askFolderName(name) || name.isEmpty())
        return;
    InsertItem(m_book.AddFolder(S(name)));
}

void CManagerDlg::OnDelete()
{
    QTreeWidgetItem* item = m_pTree->currentItem();
    AccountNode* node = NodeOf(item);
    if (!node)
        return;
    // The parent takes the selection first, so that the fields never show a removed entry.
    m_pTree->setCurrentItem(item->parent());
    ForgetItems(node);
    delete item;
    m_book.Remove(node);
}

void CManagerDlg::OnConnect()
{
    // The selected account's own values: the fields may hold a new account being typed.
    const AccountNode* node = SelectedNode();
    if (!node || node->IsFolder())
        return;
    const QString userId = Q(node->Entry().userId);
    const QString password = Q(node->Entry().password);
    if (m_connect)
        m_connect(userId, password);
    accept();
}

void CManagerDlg::OnSave()
{
    // The book keeps the old file when the new one cannot be written completely. Passwords
    // go into the store first (the file then keeps them empty); entries of deleted accounts
    // leave the store only once the file without them is written.
    if (m_pPasswords)
        m_pPasswords->BeforeSave(m_book);
    if (!m_book.Save(CAccountBook::DefaultPath())) {
        ShowMessageText(this, T(kTextManagerSaveFailed) + QLatin1Char('\n') + Q(m_book.Error()), PromptIcon::Warning);
        return;
    }
    if (m_pPasswords)
        m_pPasswords->AfterSave(m_book);
}
