#include "accounts/account_book.h"
#include "platform/text_codec.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using talvex::AccountEntry;
using talvex::AccountNode;
using talvex::CAccountBook;
using talvex::ScramblePassword;
using talvex::UnscramblePassword;
namespace fs = std::filesystem;

namespace {

class AccountBookTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        talvex::SetWireEncoding("CP949");
        std::string tmpl = (fs::temp_directory_path() / "talvex-book-XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
        path = (dir / CAccountBook::kFileName).string();
    }
    void TearDown() override { fs::remove_all(dir); }

    void Write(const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
    std::string Read(const std::string& p) const
    {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    fs::path dir;
    std::string path;
};

AccountEntry Account(std::string name, std::string id, std::string pass, std::string desc = {})
{
    AccountEntry e;
    e.name = std::move(name);
    e.userId = std::move(id);
    e.password = std::move(pass);
    e.description = std::move(desc);
    return e;
}

std::string Names(const AccountNode& node)
{
    std::string out;
    for (size_t i = 0; i < node.ChildCount(); ++i) {
        const AccountNode* c = node.Child(i);
        out += (i ? "," : "") + c->Entry().name;
        if (c->ChildCount())
            out += "(" + Names(*c) + ")";
    }
    return out;
}

} // namespace

TEST(PasswordScramble, LengthsDigitsAndRoundTrip)
{
    EXPECT_EQ(ScramblePassword(""), "");
    EXPECT_EQ(UnscramblePassword(""), "");
    const std::string three = ScramblePassword("abc");
    ASSERT_EQ(three.size(), 9u);
    EXPECT_EQ(three.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(UnscramblePassword(three), "abc");
    // Every byte value, and lengths on both sides of the key length, survive.
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    for (size_t n : {1u, 28u, 29u, 30u, 58u, 256u})
        EXPECT_EQ(UnscramblePassword(ScramblePassword(all.substr(0, n))), all.substr(0, n)) << n;
    // 30 digits give 10 bytes; one or two characters after the last group are ignored.
    EXPECT_EQ(UnscramblePassword(std::string(30, '1')).size(), 10u);
    const std::string nine = ScramblePassword("xyz");
    EXPECT_EQ(UnscramblePassword(nine + "7"), "xyz");
    EXPECT_EQ(UnscramblePassword(nine + "7a"), "xyz");
    // A group above 255 wraps; a non-digit anywhere in a group empties the password.
    EXPECT_EQ(UnscramblePassword("999").size(), 1u);
    EXPECT_EQ(UnscramblePassword(nine.substr(0, 4) + "x" + nine.substr(5)), "");
    EXPECT_EQ(UnscramblePassword("-12"), "");
    // The offset depends on the length: the same byte scrambles differently at n and n+1.
    EXPECT_NE(ScramblePassword("a").substr(0, 3), ScramblePassword("aa").substr(0, 3));
}

TEST_F(AccountBookTest, EmptyStoreIsThreeLines)
{
    CAccountBook book;
    ASSERT_TRUE(book.Save(path));
    EXPECT_EQ(Read(path), "<Talvex>\r\n<Users/>\r\n</Talvex>\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    CAccountBook again;
    EXPECT_TRUE(again.Load(path));
    EXPECT_EQ(again.Root().ChildCount(), 0u);
}

TEST_F(AccountBookTest, LayoutOfSavedStore)
{
    CAccountBook book;
    AccountNode* folder = book.AddFolder("F");
    book.AddAccount(folder, Account("a", "id", "p"));
    book.AddFolder("E");
    book.AddAccount(nullptr, Account("z", "zid", "", ""));
    ASSERT_TRUE(book.Save(path));
    const std::string expected = "<Talvex>\r\n<Users>\r\n"
                                 "<Folder Name=\"E\"/>\r\n"
                                 "<Folder Name=\"F\">\r\n"
                                 "<User Name=\"a\" ID=\"id\" Pass=\"" + ScramblePassword("p") +
                                 "\" Description=\"\"/>\r\n"
                                 "</Folder>\r\n"
                                 "<User Name=\"z\" ID=\"zid\" Pass=\"\" Description=\"\"/>\r\n"
                                 "</Users>\r\n</Talvex>\r\n";
    EXPECT_EQ(Read(path), expected);
}

TEST_F(AccountBookTest, LoadsFoldersSortedAndSkipsOtherElements)
{
    Write("<?xml version=\"1.0\"?>\r\n<Talvex><Other/><Users>\r\n"
          "<User Name=\"root-b\" ID=\"rb\" Pass=\"" + ScramblePassword("pw1") + "\" Description=\"d\"/>\r\n"
          "<Note>ignored</Note>\r\n"
          "<Folder Name=\"group\">\r\n"
          "  <User Name=\"zeta\" ID=\"z\" Pass=\"\" Description=\"\"/>\r\n"
          "  <User Name=\"Alpha\" ID=\"a\" Pass=\"12x456\" Description=\"\"/>\r\n"
          "  <Folder Name=\"inner\"><User Name=\"deep\" ID=\"d\" Pass=\"\"/></Folder>\r\n"
          "</Folder>\r\n"
          "<User Name=\"Root-a\" ID=\"ra\" Pass=\"" + ScramblePassword("pw2") + "\"/>\r\n"
          "</Users></Talvex>\r\n");
    CAccountBook book;
    ASSERT_TRUE(book.Load(path)) << book.Error();
    EXPECT_EQ(Names(book.Root()), "group(Alpha,inner(deep),zeta),Root-a,root-b");
    const AccountNode* group = book.Root().Child(0);
    EXPECT_TRUE(group->IsFolder());
    const AccountNode* alpha = group->Child(0);
    EXPECT_FALSE(alpha->IsFolder());
    EXPECT_EQ(alpha->Entry().userId, "a");
    EXPECT_EQ(alpha->Entry().password, ""); // a non-digit in Pass
    const AccountNode* rootB = book.Root().Child(2);
    EXPECT_EQ(rootB->Entry().password, "pw1");
    EXPECT_EQ(rootB->Entry().description, "d");
    EXPECT_EQ(book.Root().Child(1)->Entry().password, "pw2");

    // A nested folder survives a save and a reload with its account.
    ASSERT_TRUE(book.Save(path));
    CAccountBook again;
    ASSERT_TRUE(again.Load(path));
    EXPECT_EQ(Names(again.Root()), Names(book.Root()));
    EXPECT_TRUE(again.Root().Child(0)->Child(1)->IsFolder());
}

TEST_F(AccountBookTest, EscapedAndKoreanTextsRoundTrip)
{
    CAccountBook book;
    const std::string odd = "a<b>&c'd\"e";
    AccountNode* folder = book.AddFolder("폴더 " + odd);
    book.AddAccount(folder, Account(odd, "id" + odd, "pass" + odd, "설명 " + odd));
    book.AddAccount(nullptr, Account("홍길동", "hong", "비밀번호", "똠방각하"));
    ASSERT_TRUE(book.Save(path));
    const std::string bytes = Read(path);
    EXPECT_NE(bytes.find("a&lt;b&gt;&amp;c&apos;d&quot;e"), std::string::npos);
    std::string wire;
    ASSERT_TRUE(talvex::ToWire("홍길동", wire));
    EXPECT_NE(bytes.find("Name=\"" + wire + "\""), std::string::npos); // CP949 bytes in the file
    EXPECT_EQ(bytes.find("홍길동"), std::string::npos);

    CAccountBook again;
    ASSERT_TRUE(again.Load(path));
    ASSERT_EQ(again.Root().ChildCount(), 2u);
    const AccountNode* f = again.Root().Child(0);
    EXPECT_EQ(f->Entry().name, "폴더 " + odd);
    const AccountEntry& e = f->Child(0)->Entry();
    EXPECT_EQ(e.name, odd);
    EXPECT_EQ(e.userId, "id" + odd);
    EXPECT_EQ(e.password, "pass" + odd);
    EXPECT_EQ(e.description, "설명 " + odd);
    EXPECT_EQ(again.Root().Child(1)->Entry().password, "비밀번호");
    EXPECT_EQ(again.Root().Child(1)->Entry().description, "똠방각하");
}

TEST_F(AccountBookTest, UndecodableBytesAreKeptAndUnwritableTextsRefused)
{
    // 0xFF is no CP949 byte: the account loads with a replacement and is written back as it was.
    const std::string raw = "bad\xFF" "name";
    Write("<Talvex><Users><User Name=\"" + raw + "\" ID=\"x\" Pass=\"\" Description=\"\"/></Users></Talvex>");
    CAccountBook book;
    ASSERT_TRUE(book.Load(path));
    ASSERT_EQ(book.Root().ChildCount(), 1u);
    EXPECT_EQ(book.Root().Child(0)->Entry().name, "bad\xEF\xBF\xBDname");
    ASSERT_TRUE(book.Save(path)) << book.Error();
    EXPECT_NE(Read(path).find("Name=\"" + raw + "\""), std::string::npos);

    // A character CP949 lacks cannot be saved: the save fails and the file stays as it was.
    const std::string before = Read(path);
    book.AddAccount(nullptr, Account("emoji \xF0\x9F\x98\x80", "e", "secret-pw"));
    EXPECT_FALSE(book.Save(path));
    EXPECT_NE(book.Error().find("Name"), std::string::npos);
    EXPECT_EQ(Read(path), before);
    book.Remove(book.Root().Child(1));
    book.AddAccount(nullptr, Account("pw", "e", "\xF0\x9F\x98\x80"));
    EXPECT_FALSE(book.Save(path));
    EXPECT_EQ(book.Error().find("\xF0\x9F\x98\x80"), std::string::npos); // never the password
}

TEST_F(AccountBookTest, AddingAndRemoving)
{
    CAccountBook book;
    AccountNode* folder = book.AddFolder("folder");
    AccountNode* inFolder = book.AddAccount(folder, Account("b", "b", "b"));
    EXPECT_EQ(inFolder->Parent(), folder);
    // An account selected: the new one goes under the root, not beside the selected one.
    AccountNode* next = book.AddAccount(inFolder, Account("a", "a", "a"));
    EXPECT_EQ(next->Parent(), &book.Root());
    EXPECT_EQ(book.AddAccount(&book.Root(), Account("c", "c", "c"))->Parent(), &book.Root());
    // Equal names are allowed and keep the order of adding.
    book.AddAccount(nullptr, Account("a", "second", "x"));
    EXPECT_EQ(Names(book.Root()), "a,a,c,folder(b)");
    EXPECT_EQ(book.Root().Child(1)->Entry().userId, "second");

    ASSERT_TRUE(book.Save(path));
    EXPECT_TRUE(book.Remove(folder));
    EXPECT_FALSE(book.Remove(&book.Root()));
    EXPECT_EQ(Names(book.Root()), "a,a,c");
    // Until the next save the file still holds the folder.
    CAccountBook fromFile;
    ASSERT_TRUE(fromFile.Load(path));
    EXPECT_EQ(Names(fromFile.Root()), "a,a,c,folder(b)");
}

TEST_F(AccountBookTest, MissingOrBrokenFile)
{
    CAccountBook book;
    book.AddFolder("stale");
    EXPECT_FALSE(book.Load(path));
    EXPECT_EQ(book.Root().ChildCount(), 0u);

    const std::string broken = "<Talvex><Users><User Name=\"keep me\" ID=\"x\"/></Users>";
    Write(broken);
    EXPECT_FALSE(book.Load(path));
    EXPECT_EQ(book.Error(), "End tag of Talvex element not found");
    EXPECT_EQ(book.Root().ChildCount(), 0u);
    // Saving over a file that could not be read keeps the old bytes beside it.
    book.AddAccount(nullptr, Account("new", "n", "p"));
    ASSERT_TRUE(book.Save(path));
    EXPECT_EQ(Read(path + ".bak"), broken);
    CAccountBook again;
    ASSERT_TRUE(again.Load(path));
    EXPECT_EQ(Names(again.Root()), "new");
}

TEST_F(AccountBookTest, TheBookIsTheOwnersOnlyWhateverTheUmaskAndAWiderFileIsNarrowed)
{
    const mode_t saved = ::umask(0);
    for (const mode_t mask : {mode_t(022), mode_t(077), mode_t(0)}) {
        ::umask(mask);
        Write("<Talvex>\r\n<Users/>\r\n</Talvex>\r\n");
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0); // as an earlier version may have left it
        CAccountBook book;
        ASSERT_TRUE(book.Load(path));
        ASSERT_TRUE(book.Save(path));
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "umask " << mask;
        fs::remove(path);
        ASSERT_TRUE(book.Save(path)); // a new file
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "umask " << mask;
        fs::remove(path);
    }
    ::umask(saved);
}
