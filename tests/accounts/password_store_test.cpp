// The account book's passwords and a secret store (a scripted one here; the real keyring is
// tested in keyring_test.cpp): what moves into the store and when, what the file then holds,
// and what stays exactly as it was when the store does not answer or does not keep its word.

#include "accounts/account_book.h"
#include "accounts/password_store.h"
#include "platform/text_codec.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

using namespace talvex;

namespace {

class FakeStore final : public IPasswordStore {
public:
    std::map<std::string, std::string> entries;
    std::vector<std::string> calls; // "read id", "write id", "remove id" (never a password)
    bool unavailable = false;
    bool forgetsWrites = false; // answers Ok to a write and keeps nothing

    StoreResult Read(const std::string& id, std::string& password) override
    {
        calls.push_back("read " + id);
        if (unavailable)
            return StoreResult::Unavailable;
        const auto it = entries.find(id);
        if (it == entries.end())
            return StoreResult::NotFound;
        password = it->second;
        return StoreResult::Ok;
    }
    StoreResult Write(const std::string& id, const std::string& password) override
    {
        calls.push_back("write " + id);
        if (unavailable)
            return StoreResult::Unavailable;
        if (!forgetsWrites)
            entries[id] = password;
        return StoreResult::Ok;
    }
    StoreResult Remove(const std::string& id) override
    {
        calls.push_back("remove " + id);
        if (unavailable)
            return StoreResult::Unavailable;
        return entries.erase(id) ? StoreResult::Ok : StoreResult::NotFound;
    }
};

std::string User(const std::string& name, const std::string& id, const std::string& scrambled)
{
    return "<User Name=\"" + name + "\" ID=\"" + id + "\" Pass=\"" + scrambled + "\" Description=\"\"/>\r\n";
}

// A book as today's program writes it: two accounts in a folder, one under the root.
std::string OldBook()
{
    return "<Talvex>\r\n<Users>\r\n<Folder Name=\"Team\">\r\n" + User("bae", "baeid", ScramblePassword("bae-pw")) +
           User("kim", "kimid", ScramblePassword("kim-pw")) + "</Folder>\r\n" +
           User("zed", "zid", ScramblePassword("zed-pw")) + "</Users>\r\n</Talvex>\r\n";
}

class BookPasswordsTest : public ::testing::Test {
protected:
    void SetUp() override { SetWireEncoding("CP949"); }

    // The book parsed from bytes (through a file, as the dialog reads it).
    void LoadBytes(CAccountBook& book, const std::string& bytes)
    {
        std::string tmpl = ::testing::TempDir() + "talvex-pw-XXXXXX";
        const std::string dir = ::mkdtemp(tmpl.data());
        const std::string path = dir + "/Talvex.xml";
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        ASSERT_TRUE(book.Load(path));
        std::remove(path.c_str());
        ::rmdir(dir.c_str());
    }
    std::string Bytes(CAccountBook& book)
    {
        std::string out;
        EXPECT_TRUE(book.Serialize(out));
        return out;
    }
    const AccountNode* Find(const CAccountBook& book, const std::string& name, const AccountNode* from = nullptr)
    {
        const AccountNode& node = from ? *from : book.Root();
        for (size_t i = 0; i < node.ChildCount(); ++i) {
            const AccountNode* c = node.Child(i);
            if (c->Entry().name == name)
                return c;
            if (const AccountNode* inner = Find(book, name, c))
                return inner;
        }
        return nullptr;
    }

    FakeStore store;
};

TEST_F(BookPasswordsTest, AnOldBookMovesIntoTheStoreAtItsSaveAndReadsBackWhole)
{
    CAccountBook book;
    LoadBytes(book, OldBook());
    CBookPasswords passwords(store);
    passwords.AfterLoad(book);
    EXPECT_TRUE(store.calls.empty()) << "every account had its password in the file";

    passwords.BeforeSave(book);
    EXPECT_EQ(store.entries, (std::map<std::string, std::string>{{"baeid", "bae-pw"}, {"kimid", "kim-pw"}, {"zid", "zed-pw"}}));
    // Same elements, same attributes, same order: only the passwords are empty.
    const std::string saved = Bytes(book);
    EXPECT_EQ(saved, "<Talvex>\r\n<Users>\r\n<Folder Name=\"Team\">\r\n" + User("bae", "baeid", "") +
                         User("kim", "kimid", "") + "</Folder>\r\n" + User("zed", "zid", "") + "</Users>\r\n</Talvex>\r\n");
    passwords.AfterSave(book);
    EXPECT_EQ(store.entries.size(), 3u) << "nothing held by the book is removed";

    // The next session: the file holds no password, the store gives them back.
    CAccountBook again;
    LoadBytes(again, saved);
    store.calls.clear();
    CBookPasswords next(store);
    next.AfterLoad(again);
    EXPECT_EQ(Find(again, "kim")->Entry().password, "kim-pw");
    EXPECT_EQ(Find(again, "zed")->Entry().password, "zed-pw");
    EXPECT_TRUE(Find(again, "bae")->PasswordInStore());
    // Saving again writes nothing new and keeps the bytes.
    store.calls.clear();
    next.BeforeSave(again);
    EXPECT_TRUE(store.calls.empty());
    EXPECT_EQ(Bytes(again), saved);
}

TEST_F(BookPasswordsTest, WithoutAStoreTheBookKeepsTodaysBytesAndAsksOnce)
{
    CAccountBook book;
    const std::string old = OldBook();
    LoadBytes(book, old);
    store.unavailable = true;
    CBookPasswords passwords(store);
    passwords.BeforeSave(book);
    EXPECT_EQ(Bytes(book), old);
    passwords.AfterSave(book);
    EXPECT_EQ(Bytes(book), old);

    // A book whose passwords live in a keyring that is not here (another machine): the
    // accounts load without passwords, the file is kept as it is, and the first refusal ends
    // the reading (the real store then answers every further call itself, without asking).
    CAccountBook carried;
    const std::string carriedBytes = "<Talvex>\r\n<Users>\r\n" + User("a", "aid", "") + User("b", "bid", "") +
                                     "</Users>\r\n</Talvex>\r\n";
    LoadBytes(carried, carriedBytes);
    store.calls.clear();
    CBookPasswords other(store);
    other.AfterLoad(carried);
    EXPECT_EQ(store.calls, std::vector<std::string>{"read aid"});
    EXPECT_EQ(Find(carried, "a")->Entry().password, "");
    EXPECT_FALSE(Find(carried, "a")->PasswordInStore());
    other.BeforeSave(carried);
    EXPECT_EQ(Bytes(carried), carriedBytes);

    // The same book where the keyring answers but has no entry: still empty, asked at connect.
    store.unavailable = false;
    CAccountBook fresh;
    LoadBytes(fresh, carriedBytes);
    CBookPasswords third(store);
    third.AfterLoad(fresh);
    EXPECT_EQ(Find(fresh, "b")->Entry().password, "");
    EXPECT_EQ(Bytes(fresh), carriedBytes);
}

TEST_F(BookPasswordsTest, APasswordStaysInTheFileUnlessTheStoreKeepsIt)
{
    // A store that says yes and keeps nothing: the read-back finds nothing, the file keeps it.
    CAccountBook book;
    const std::string old = OldBook();
    LoadBytes(book, old);
    store.forgetsWrites = true;
    CBookPasswords passwords(store);
    passwords.BeforeSave(book);
    EXPECT_EQ(Bytes(book), old);

    // Two accounts of one user id with different passwords: neither is given up; a third
    // account of another id moves.
    store.forgetsWrites = false;
    store.entries.clear();
    CAccountBook twins;
    AccountEntry a{"one", "same", "first", "", AccountEntry::kAccount};
    AccountEntry b{"two", "same", "second", "", AccountEntry::kAccount};
    AccountEntry c{"three", "other", "third", "", AccountEntry::kAccount};
    twins.AddAccount(nullptr, a);
    twins.AddAccount(nullptr, b);
    twins.AddAccount(nullptr, c);
    CBookPasswords twinPasswords(store);
    twinPasswords.BeforeSave(twins);
    EXPECT_EQ(store.entries, (std::map<std::string, std::string>{{"other", "third"}}));
    EXPECT_FALSE(Find(twins, "one")->PasswordInStore());
    EXPECT_FALSE(Find(twins, "two")->PasswordInStore());
    const std::string bytes = Bytes(twins);
    EXPECT_NE(bytes.find("Pass=\"" + ScramblePassword("first") + "\""), std::string::npos);
    EXPECT_NE(bytes.find("Pass=\"" + ScramblePassword("second") + "\""), std::string::npos);
}

TEST_F(BookPasswordsTest, AnEntryLeavesTheStoreOnlyOnceTheBookWithoutItIsSaved)
{
    CAccountBook book;
    LoadBytes(book, OldBook());
    CBookPasswords passwords(store);
    passwords.BeforeSave(book);
    passwords.AfterSave(book);
    ASSERT_EQ(store.entries.size(), 3u);

    // "kim" is deleted; until the book is saved the entry stays (a failed save loses nothing).
    book.Remove(const_cast<AccountNode*>(Find(book, "kim")));
    passwords.BeforeSave(book);
    EXPECT_EQ(store.entries.count("kimid"), 1u);
    passwords.AfterSave(book);
    EXPECT_EQ(store.entries.count("kimid"), 0u);
    EXPECT_EQ(store.entries.size(), 2u);

    // An entry another account of the same id still uses stays.
    AccountEntry second{"zed again", "zid", "zed-pw", "", AccountEntry::kAccount};
    book.AddAccount(nullptr, second);
    passwords.BeforeSave(book);
    book.Remove(const_cast<AccountNode*>(Find(book, "zed")));
    passwords.AfterSave(book);
    EXPECT_EQ(store.entries.count("zid"), 1u);
}

} // namespace
