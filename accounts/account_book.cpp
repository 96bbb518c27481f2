#include "accounts/account_book.h"

#include "accounts/xml_document.h"
#include "platform/text_codec.h"
#include "platform/whole_file.h"
#include "platform/workdir.h"

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>

namespace talvex {
namespace {

// Fixed scrambling key: 29 printable ASCII characters.
constexpr std::string_view kKey = "Kq7#vT2p!Lm9Xw4$Rz8^Nb3@Hd6&J";
static_assert(kKey.size() == 29);

constexpr const char* kFieldAttribute[] = {"Name", "ID", "Pass", "Description"};

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Order of siblings: ASCII letters without regard to case, then by bytes (for UTF-8 that is
// the order of code points, which puts Hangul syllables in dictionary order).
bool NameLess(const std::string& a, const std::string& b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(LowerAscii(a[i]));
        const auto y = static_cast<unsigned char>(LowerAscii(b[i]));
        if (x != y)
            return x < y;
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b;
}

bool FileExists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace

std::string ScramblePassword(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 3);
    const size_t offset = bytes.size() % kKey.size();
    char group[8];
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned value = static_cast<unsigned char>(bytes[i]) ^
                               static_cast<unsigned char>(kKey[(i + offset) % kKey.size()]);
        std::snprintf(group, sizeof group, "%03u", value);
        out += group;
    }
    return out;
}

std::string UnscramblePassword(std::string_view digits)
{
    const size_t n = digits.size() / 3;
    const size_t offset = n % kKey.size();
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        unsigned value = 0;
        for (size_t k = 0; k < 3; ++k) {
            const char c = digits[i * 3 + k];
            if (c < '0' || c > '9')
                return {};
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        out += static_cast<char>((value % 256) ^ static_cast<unsigned char>(kKey[(i + offset) % kKey.size()]));
    }
    return out;
}

CAccountBook::CAccountBook()
{
    m_root.m_entry.kind = AccountEntry::kFolder;
}

std::string CAccountBook::DefaultPath()
{
    return AppDir() + kFileName;
}

AccountNode* CAccountBook::Insert(AccountNode& parent, std::unique_ptr<AccountNode> node)
{
    node->m_pParent = &parent;
    auto& list = parent.m_children;
    auto at = list.begin();
    // After every sibling whose name does not sort after the new one: equal names keep the
    // order in which they were added.
    while (at != list.end() && !NameLess(node->m_entry.name, (*at)->m_entry.name))
        ++at;
    return list.insert(at, std::move(node))->get();
}

AccountNode* CAccountBook::AddFolder(std::string name)
{
    auto node = std::make_unique<AccountNode>();
    node->m_entry.name = std::move(name);
    node->m_entry.kind = AccountEntry::kFolder;
    return Insert(m_root, std::move(node));
}

AccountNode* CAccountBook::AddAccount(const AccountNode* selected, AccountEntry entry)
{
    AccountNode* parent = &m_root;
    if (selected && selected->IsFolder())
        parent = const_cast<AccountNode*>(selected);
    auto node = std::make_unique<AccountNode>();
    entry.kind = AccountEntry::kAccount;
    node->m_entry = std::move(entry);
    return Insert(*parent, std::move(node));
}

bool CAccountBook::Remove(AccountNode* node)
{
    if (!node || node->IsRoot())
        return false;
    auto& list = node->m_pParent->m_children;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->get() == node) {
            list.erase(it);
            return true;
        }
    }
    return false;
}

void CAccountBook::Clear()
{
    m_root.m_children.clear();
}

void CAccountBook::SetPasswordInStore(AccountNode& account, bool inStore)
{
    if (!account.IsRoot() && !account.IsFolder())
        account.m_bPasswordInStore = inStore;
}

void CAccountBook::SetStoredPassword(AccountNode& account, std::string password)
{
    if (account.IsRoot() || account.IsFolder())
        return;
    account.m_entry.password = std::move(password);
    account.m_hasUndecoded[AccountNode::kPassword] = false;
    account.m_undecoded[AccountNode::kPassword].clear();
    account.m_bPasswordInStore = true;
}

bool CAccountBook::Load(const std::string& path)
{
    Clear();
    m_strError.clear();
    m_strUnreadablePath.clear();
    CXmlDocument doc;
    if (!doc.LoadFile(path)) {
        if (FileExists(path)) {
            m_strUnreadablePath = path;
            m_strError = doc.Error().empty() ? "cannot read " + path : doc.Error();
        } else {
            m_strError = "no account book at " + path;
        }
        return false;
    }
    doc.ResetPosition();
    if (!doc.FindChild("Users") || !doc.EnterElement())
        return true;

    auto decode = [](AccountNode& node, int field, const std::string& wire) {
        std::string text;
        if (!FromWire(wire, text)) {
            text = FromWireLossy(wire);
            node.m_undecoded[static_cast<size_t>(field)] = wire;
            node.m_hasUndecoded[static_cast<size_t>(field)] = true;
        }
        return text;
    };

    // Folders may nest; the levels are walked with an explicit stack of tree parents that
    // mirrors the document cursor's EnterElement/LeaveElement.
    std::vector<AccountNode*> parents{&m_root};
    for (;;) {
        if (!doc.FindChild()) {
            if (parents.size() == 1)
                break;
            doc.LeaveElement();
            parents.pop_back();
            continue;
        }
        const std::string name = doc.ChildName();
        if (name == "Folder") {
            auto node = std::make_unique<AccountNode>();
            node->m_entry.kind = AccountEntry::kFolder;
            node->m_entry.name = decode(*node, AccountNode::kName, doc.ChildAttribute("Name"));
            AccountNode* folder = Insert(*parents.back(), std::move(node));
            doc.EnterElement();
            parents.push_back(folder);
        } else if (name == "User") {
            auto node = std::make_unique<AccountNode>();
            node->m_entry.kind = AccountEntry::kAccount;
            node->m_entry.name = decode(*node, AccountNode::kName, doc.ChildAttribute("Name"));
            node->m_entry.userId = decode(*node, AccountNode::kUserId, doc.ChildAttribute("ID"));
            node->m_entry.password =
                decode(*node, AccountNode::kPassword, UnscramblePassword(doc.ChildAttribute("Pass")));
            node->m_entry.description =
                decode(*node, AccountNode::kDescription, doc.ChildAttribute("Description"));
            Insert(*parents.back(), std::move(node));
        }
    }
    return true;
}

bool CAccountBook::WireField(const AccountNode& node, int field, std::string& out)
{
    const AccountEntry& e = node.m_entry;
    const std::string& text = field == AccountNode::kName     ? e.name
                              : field == AccountNode::kUserId ? e.userId
                              : field == AccountNode::kPassword ? e.password
                                                                : e.description;
    if (ToWire(text, out))
        return true;
    const auto f = static_cast<size_t>(field);
    if (node.m_hasUndecoded[f] && FromWireLossy(node.m_undecoded[f]) == text) {
        out = node.m_undecoded[f];
        return true;
    }
    m_strError = "the " + std::string(field == AccountNode::kPassword ? "password" : kFieldAttribute[field]) +
                 " of \"" + (field == AccountNode::kName ? std::string("?") : e.name) +
                 "\" cannot be written in the encoding " + WireEncoding();
    return false;
}

bool CAccountBook::Serialize(std::string& out)
{
    CXmlDocument doc;
    if (!Build(doc))
        return false;
    out = doc.Text();
    return true;
}

bool CAccountBook::Build(CXmlDocument& doc)
{
    m_strError.clear();
    doc.AppendSibling("Talvex");
    doc.AppendChild("Users");
    doc.EnterElement();

    std::string value;
    auto writeUser = [&](const AccountNode& node) {
        doc.AppendChild("User");
        for (int field = 0; field < AccountNode::kFieldCount; ++field) {
            if (field == AccountNode::kPassword && node.m_bPasswordInStore) {
                value.clear(); // kept in the secret store
            } else {
                if (!WireField(node, field, value))
                    return false;
                if (field == AccountNode::kPassword)
                    value = ScramblePassword(value);
            }
            doc.SetChildAttribute(kFieldAttribute[field], value);
        }
        return true;
    };

    // Depth-first over the tree; a folder opens a level of the document, its items follow
    // as its children. Folders nested in folders (which Load accepts) are kept as folders.
    struct Level {
        const AccountNode* node;
        size_t next;
    };
    std::vector<Level> stack{{&m_root, 0}};
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next == level.node->ChildCount()) {
            stack.pop_back();
            if (!stack.empty())
                doc.LeaveElement();
            continue;
        }
        const AccountNode& item = *level.node->Child(level.next++);
        if (item.IsFolder()) {
            if (!WireField(item, AccountNode::kName, value))
                return false;
            doc.AppendChild("Folder");
            doc.SetChildAttribute("Name", value);
            doc.EnterElement();
            stack.push_back({&item, 0});
        } else if (!writeUser(item)) {
            return false;
        }
    }
    return true;
}

bool CAccountBook::Save(const std::string& path)
{
    CXmlDocument doc;
    if (!Build(doc))
        return false;
    if (!m_strUnreadablePath.empty() && m_strUnreadablePath == path && FileExists(path)) {
        std::string old;
        if (!ReadFileBounded(path, CXmlDocument::kMaxTextSize * 4, old) ||
            !WriteFileReplacing(path + ".bak", old, 0600)) {
            m_strError = "cannot keep a copy of the unreadable account book as " + path + ".bak";
            return false;
        }
    }
    if (!doc.SaveFile(path, 0600)) {
        m_strError = "cannot write " + path;
        return false;
    }
    m_strUnreadablePath.clear();
    return true;
}

} // namespace talvex
