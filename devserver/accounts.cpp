#include "devserver/accounts.h"

#include "platform/text_codec.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace talvex::devserver {
namespace {

constexpr size_t kMaxFileBytes = 1 << 20;
constexpr size_t kMaxAccounts = 10000;

std::string Trim(const std::string& s)
{
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool ParseInt(const std::string& s, int& out)
{
    if (s.empty() || s.size() > 9)
        return false;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

void FillDefaults(Account& a)
{
    if (a.userRoot.empty())
        a.userRoot = "/" + a.id;
}

} // namespace

bool AccountBook::IsSafeId(const std::string& id)
{
    if (id.empty() || id == "." || id == ".." || id.size() > 200)
        return false;
    for (unsigned char c : id)
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\' || c == ':')
            return false;
    return IsValidUtf8(id);
}

AccountBook AccountBook::Defaults()
{
    AccountBook book;
    book.m_builtIn = true;
    Account demo;
    demo.id = "demo";
    demo.password = "demo1234";
    Account sync;
    sync.id = "sync";
    sync.password = "sync1234";
    sync.serviceType = 1;
    Account drm;
    drm.id = "drm";
    drm.password = "drm1234";
    drm.useDrm = 1;
    drm.drmId = "drmuser";
    drm.drmPass = "drmpass";
    Account korean;
    korean.id = "홍길동";
    korean.password = "비밀1234";
    for (Account* a : {&demo, &sync, &drm, &korean}) {
        FillDefaults(*a);
        book.m_accounts.push_back(*a);
    }
    return book;
}

bool AccountBook::Load(const std::string& path, AccountBook& out, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open the accounts file " + path;
        return false;
    }
    std::string text(kMaxFileBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxFileBytes) {
        error = "the accounts file is larger than 1 MiB";
        return false;
    }
    if (!IsValidUtf8(text)) {
        error = "the accounts file is not UTF-8";
        return false;
    }

    AccountBook book;
    Account* current = nullptr;
    std::istringstream lines(text);
    std::string raw;
    int lineNo = 0;
    auto fail = [&](const std::string& what) {
        error = path + ":" + std::to_string(lineNo) + ": " + what;
        return false;
    };
    while (std::getline(lines, raw)) {
        ++lineNo;
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']')
                return fail("a section line must end with ']'");
            const std::string id = Trim(line.substr(1, line.size() - 2));
            if (!IsSafeId(id))
                return fail("the account id is empty or holds '/', '\\', ':' or control characters");
            if (book.Find(id))
                return fail("the account " + id + " appears twice");
            if (book.m_accounts.size() >= kMaxAccounts)
                return fail("too many accounts");
            book.m_accounts.emplace_back();
            current = &book.m_accounts.back();
            current->id = id;
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            return fail("expected key = value");
        if (!current)
            return fail("a key before the first [account] line");
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        int number = 0;
        if (key == "password") {
            current->password = value;
        } else if (key == "service_type" || key == "use_drm" || key == "sync_targets") {
            if (!ParseInt(value, number))
                return fail(key + " must be a non-negative number");
            (key == "service_type" ? current->serviceType : key == "use_drm" ? current->useDrm : current->syncTargets) = number;
        } else if (key == "serviceset_id") {
            current->serviceSetId = value;
        } else if (key == "user_root") {
            current->userRoot = value;
        } else if (key == "drm_id") {
            current->drmId = value;
        } else if (key == "drm_pass") {
            current->drmPass = value;
        } else {
            return fail("unknown key " + key);
        }
    }
    if (book.m_accounts.empty()) {
        error = path + ": no account";
        return false;
    }
    for (Account& a : book.m_accounts) {
        FillDefaults(a);
        if (a.password.empty()) {
            error = path + ": the account " + a.id + " has no password";
            return false;
        }
    }
    out = std::move(book);
    return true;
}

const Account* AccountBook::Find(const std::string& id) const
{
    for (const Account& a : m_accounts)
        if (a.id == id)
            return &a;
    return nullptr;
}

const Account* AccountBook::FindDrm(const std::string& drmId) const
{
    for (const Account& a : m_accounts)
        if (a.useDrm == 1 && !a.drmId.empty() && a.drmId == drmId)
            return &a;
    return nullptr;
}

} // namespace talvex::devserver
