#pragma once
// The account book: the local address book of service accounts (name, user id, password,
// description), optionally grouped in folders, kept in "Talvex.xml" in the working folder.
// This is the model the manager dialog shows; it knows nothing of widgets.
//
// Texts are UTF-8 here and in the wire encoding (CP949 by default) in the file; they are
// converted when the file is read and written. A stored text that is not valid in the wire
// encoding is shown with U+FFFD in place of the bad bytes, and written back with its original
// bytes as long as it has not been changed, so such an account is never lost.
// Passwords are stored scrambled with a fixed key; the file is readable by its owner only.
// An account whose password lives in the desktop's secret store instead (password_store.h)
// is written with an empty password attribute; the file's format stays the same.

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace talvex {

class CXmlDocument;

struct AccountEntry {
    enum Kind { kAccount = 0, kFolder = 1 };

    std::string name;        // display name; for a folder, the folder's name
    std::string userId;      // empty for a folder
    std::string password;    // clear text while in memory; empty for a folder
    std::string description; // empty for a folder
    int kind = kAccount;
};

class AccountNode {
public:
    const AccountEntry& Entry() const { return m_entry; }
    bool IsRoot() const { return m_pParent == nullptr; }
    bool IsFolder() const { return !IsRoot() && m_entry.kind == AccountEntry::kFolder; }
    AccountNode* Parent() const { return m_pParent; }
    size_t ChildCount() const { return m_children.size(); }
    AccountNode* Child(size_t i) const { return m_children[i].get(); }
    // The password is kept in the secret store: the file holds an empty password for it.
    bool PasswordInStore() const { return m_bPasswordInStore; }
    // The password as read from the file could not be decoded from the wire encoding: only
    // the file can keep its original bytes.
    bool PasswordUndecoded() const { return m_hasUndecoded[kPassword]; }

private:
    friend class CAccountBook;
    enum Field { kName, kUserId, kPassword, kDescription, kFieldCount };

    AccountEntry m_entry;
    AccountNode* m_pParent = nullptr;
    std::vector<std::unique_ptr<AccountNode>> m_children;
    // Original bytes of the fields that could not be decoded from the wire encoding.
    std::array<std::string, kFieldCount> m_undecoded;
    std::array<bool, kFieldCount> m_hasUndecoded{};
    bool m_bPasswordInStore = false;
};

class CAccountBook {
public:
    static constexpr const char* kFileName = "Talvex.xml";

    CAccountBook();

    // AppDir() followed by "Talvex.xml".
    static std::string DefaultPath();

    AccountNode& Root() { return m_root; }
    const AccountNode& Root() const { return m_root; }

    // A new folder, always under the root, in sorted order.
    AccountNode* AddFolder(std::string name);
    // A new account: under the selected item when that is a folder or the root, under the
    // root when it is an account (or null).
    AccountNode* AddAccount(const AccountNode* selected, AccountEntry entry);
    // Removes an item and everything under it; the root cannot be removed.
    bool Remove(AccountNode* node);
    // Leaves only the root.
    void Clear();
    // The account's password now lives in the secret store (the file keeps it empty), or
    // no longer does (the file keeps it scrambled again).
    void SetPasswordInStore(AccountNode& account, bool inStore);
    // The password read from the secret store for an account whose file value was empty.
    void SetStoredPassword(AccountNode& account, std::string password);

    // Replaces the tree by the file's contents. False when the file is missing or not well
    // formed; the tree then holds only the root and Error() says why.
    bool Load(const std::string& path);
    // Writes the tree, replacing the file only once the new one is complete on disk.
    // A file that could not be read at Load is first kept as path + ".bak".
    bool Save(const std::string& path);
    // The bytes Save writes; false when a text cannot be written in the wire encoding.
    bool Serialize(std::string& out);

    const std::string& Error() const { return m_strError; }

private:
    AccountNode* Insert(AccountNode& parent, std::unique_ptr<AccountNode> node);
    bool Build(CXmlDocument& doc);
    bool WireField(const AccountNode& node, int field, std::string& out);

    AccountNode m_root;
    std::string m_strError;
    std::string m_strUnreadablePath; // a file that existed but did not parse at Load
};

// Scrambles the password bytes: three decimal digits per byte, empty for an empty password.
std::string ScramblePassword(std::string_view bytes);
// The reverse; empty when any group of three holds a non-digit. One or two characters left
// after the last whole group are ignored.
std::string UnscramblePassword(std::string_view digits);

} // namespace talvex
