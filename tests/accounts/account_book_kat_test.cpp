// The account book against fixed bytes: files written by earlier versions must keep loading
// with the same passwords, and the bytes a save writes must not drift (a change that still
// round-trips would make every existing book unreadable). Saves that fail part-way leave the
// old book as it was.

#include "accounts/account_book.h"
#include "accounts/xml_document.h"
#include "platform/text_codec.h"
#include "tests/common/file_size_limit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace talvex;
namespace fs = std::filesystem;

namespace {

// A book as an existing installation has it on disk: CP949 texts, scrambled passwords, items
// in the order a save writes them (Hangul names after Latin ones).
//   demo / demo1234, 홍길동 / 비밀1234 (CP949 BA F1 B9 D0 31 32 33 34), and a 30-byte password.
const std::string kStoredBook =
    "<Talvex>\r\n<Users>\r\n"
    "<User Name=\"demo\" ID=\"demo\" Pass=\"069041000086105069007016\" Description=\"\"/>\r\n"
    "<User Name=\"long\" ID=\"l\" Pass=\"016086066023053083017064045012088057022085069051027089063047003082033041005087071043042016\" "
    "Description=\"\"/>\r\n"
    "<User Name=\"x\" ID=\"x\" Pass=\"009\" Description=\"\"/>\r\n"
    "<Folder Name=\"\xb8\xde\xb8\xf0 &lt;&amp;&gt;\">\r\n"
    "<User Name=\"\xc8\xab\xb1\xe6\xb5\xbf\" ID=\"\xc8\xab\xb1\xe6\xb5\xbf\" Pass=\"155189212233105069007016\" "
    "Description=\"&quot;q&apos;\"/>\r\n"
    "</Folder>\r\n"
    "</Users>\r\n</Talvex>\r\n";

class AccountBookKatTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetWireEncoding("CP949");
        std::string tmpl = (fs::temp_directory_path() / "talvex-book-kat-XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
        path = (dir / CAccountBook::kFileName).string();
    }
    void TearDown() override { fs::remove_all(dir); }

    void Write(const std::string& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }
    static std::string Read(const std::string& p)
    {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Every file of the folder other than the ones named.
    std::vector<std::string> Others(std::initializer_list<std::string> known) const
    {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir)) {
            const std::string name = e.path().filename().string();
            if (std::find(known.begin(), known.end(), name) == known.end())
                out.push_back(name);
        }
        return out;
    }

    fs::path dir;
    std::string path;
};

const AccountNode* ChildNamed(const AccountNode& node, const std::string& name)
{
    for (size_t i = 0; i < node.ChildCount(); ++i)
        if (node.Child(i)->Entry().name == name)
            return node.Child(i);
    return nullptr;
}

} // namespace

TEST(PasswordScrambleKnownAnswers, DigitsOfExistingBooksDecodeToTheirPasswords)
{
    EXPECT_EQ(UnscramblePassword("069041000086105069007016"), "demo1234");
    EXPECT_EQ(UnscramblePassword("155189212233105069007016"), "\xba\xf1\xb9\xd0" "1234");
    EXPECT_EQ(UnscramblePassword("009"), "x");
    EXPECT_EQ(UnscramblePassword("016086066023053083017064045012088057022085069051027089063047003082033041005087071043042016"),
              std::string(30, 'a'));
    // And the other way: the same passwords are written as the same digits.
    EXPECT_EQ(ScramblePassword("demo1234"), "069041000086105069007016");
    EXPECT_EQ(ScramblePassword("\xba\xf1\xb9\xd0" "1234"), "155189212233105069007016");
    EXPECT_EQ(ScramblePassword("x"), "009");
    EXPECT_EQ(ScramblePassword(std::string(30, 'a')),
              "016086066023053083017064045012088057022085069051027089063047003082033041005087071043042016");
}

TEST_F(AccountBookKatTest, ExistingBookLoadsWithItsPasswordsAndSavesByteForByte)
{
    Write(path, kStoredBook);
    CAccountBook book;
    ASSERT_TRUE(book.Load(path)) << book.Error();
    const AccountNode& root = book.Root();
    ASSERT_EQ(root.ChildCount(), 4u);

    const AccountNode* folder = ChildNamed(root, "메모 <&>");
    ASSERT_NE(folder, nullptr);
    EXPECT_TRUE(folder->IsFolder());
    ASSERT_EQ(folder->ChildCount(), 1u);
    EXPECT_EQ(folder->Child(0)->Entry().name, "홍길동");
    EXPECT_EQ(folder->Child(0)->Entry().userId, "홍길동");
    EXPECT_EQ(folder->Child(0)->Entry().password, "비밀1234");
    EXPECT_EQ(folder->Child(0)->Entry().description, "\"q'");

    const AccountNode* demo = ChildNamed(root, "demo");
    ASSERT_NE(demo, nullptr);
    EXPECT_EQ(demo->Entry().password, "demo1234");
    EXPECT_EQ(ChildNamed(root, "long")->Entry().password, std::string(30, 'a'));
    EXPECT_EQ(ChildNamed(root, "x")->Entry().password, "x");

    // Saved again unchanged, the file is the same bytes.
    ASSERT_TRUE(book.Save(path)) << book.Error();
    EXPECT_EQ(Read(path), kStoredBook);
}

TEST_F(AccountBookKatTest, ANewBookIsWrittenAsTheseBytes)
{
    CAccountBook book;
    AccountEntry e;
    e.name = "홍길동";
    e.userId = "홍길동";
    e.password = "비밀1234";
    e.description = "\"q'";
    book.AddAccount(book.AddFolder("메모 <&>"), e);
    book.AddAccount(nullptr, AccountEntry{"x", "x", "x", "", 0});
    book.AddAccount(nullptr, AccountEntry{"long", "l", std::string(30, 'a'), "", 0});
    book.AddAccount(nullptr, AccountEntry{"demo", "demo", "demo1234", "", 0});
    std::string bytes;
    ASSERT_TRUE(book.Serialize(bytes)) << book.Error();
    EXPECT_EQ(bytes, kStoredBook);
}

// ---- saves that fail part-way ------------------------------------------------------------

TEST_F(AccountBookKatTest, ASaveThatFailsPartWayKeepsTheOldBookAndLeavesNoTemporary)
{
    Write(path, kStoredBook);
    const int rc = test::RunWithFileSizeLimit(4096, [&] {
        CAccountBook book;
        if (!book.Load(path))
            return 10;
        // Far more than the limit: the new file fails after its first 4,096 bytes.
        for (int i = 0; i < 300; ++i)
            book.AddAccount(nullptr, AccountEntry{"account " + std::to_string(i), "user" + std::to_string(i),
                                                  "password" + std::to_string(i), std::string(40, 'd'), 0});
        return book.Save(path) ? 11 : 0;
    });
    EXPECT_EQ(rc, 0) << "the save must fail and say so (10: not loaded, 11: reported success)";
    EXPECT_EQ(Read(path), kStoredBook);
    EXPECT_TRUE(Others({CAccountBook::kFileName}).empty()) << Others({CAccountBook::kFileName})[0];
}

TEST_F(AccountBookKatTest, KeepingAnUnreadableBookThatFailsPartWayKeepsBothFiles)
{
    // A book that does not parse is kept as Talvex.xml.bak before the first save over it.
    const std::string broken = "<Talvex>\r\n<Users>\r\n" + std::string(8000, 'z') + "\r\n";
    const std::string oldBak = "an older copy";
    Write(path, broken);
    Write(path + ".bak", oldBak);
    const int rc = test::RunWithFileSizeLimit(4096, [&] {
        CAccountBook book;
        if (book.Load(path))
            return 10;
        book.AddAccount(nullptr, AccountEntry{"a", "a", "a", "", 0});
        return book.Save(path) ? 11 : 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(Read(path), broken);
    EXPECT_EQ(Read(path + ".bak"), oldBak);
    EXPECT_TRUE(Others({CAccountBook::kFileName, std::string(CAccountBook::kFileName) + ".bak"}).empty());
}

TEST_F(AccountBookKatTest, XmlDocumentSaveThatFailsPartWayKeepsTheOldFile)
{
    const std::string old = "<Old/>\r\n";
    Write(path, old);
    const int rc = test::RunWithFileSizeLimit(1000, [&] {
        CXmlDocument doc;
        if (!doc.LoadText("<Root>" + std::string(5000, ' ') + "</Root>"))
            return 10;
        return doc.SaveFile(path, 0600) ? 11 : 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(Read(path), old);
    EXPECT_TRUE(Others({CAccountBook::kFileName}).empty());
}
