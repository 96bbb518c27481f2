#include "accounts/xml_document.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/stat.h>

using talvex::CXmlDocument;
namespace fs = std::filesystem;

namespace {

fs::path TempDir()
{
    std::string tmpl = (fs::temp_directory_path() / "talvex-xml-XXXXXX").string();
    return fs::path(::mkdtemp(tmpl.data()));
}

std::string ReadAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Walks the whole tree with the cursor: "name{attr=value,...}(children)" for every element.
std::string Dump(CXmlDocument& doc)
{
    std::string out;
    doc.ResetPosition();
    if (!doc.FindSibling())
        return out;
    std::function<void()> level = [&]() {
        while (doc.FindChild()) {
            out += doc.ChildName();
            out += "[" + doc.ChildAttribute("a") + "]";
            doc.EnterElement();
            out += "(";
            level();
            out += ")";
            doc.LeaveElement();
        }
    };
    out += doc.Name() + "(";
    level();
    out += ")";
    return out;
}

} // namespace

TEST(XmlDocument, ParsesSkippedNodesAndNavigates)
{
    const std::string text =
        "<?xml version=\"1.0\" encoding=\"euc-kr\"?>\r\n"
        "<!-- top comment -->\r\n"
        "<!DOCTYPE Talvex [ <!ELEMENT Talvex ANY> <!ATTLIST User Name CDATA #IMPLIED> ]>\r\n"
        "<Talvex>text is not a node\r\n"
        "  <Users><![CDATA[ <User Name=\"fake\"/> ]]>\r\n"
        "    <User Name=\"one\" ID='id1'/>\r\n"
        "    <!-- <User Name=\"commented\"/> -->\r\n"
        "    <Folder Name=\"f\"><User Name=\"two\"/></Folder>\r\n"
        "  </Users>\r\n"
        "</Talvex>\r\n"
        "<Second/>\r\n";
    CXmlDocument doc;
    ASSERT_TRUE(doc.LoadText(text)) << doc.Error();
    ASSERT_TRUE(doc.FindChild("Users"));
    EXPECT_EQ(doc.Name(), "Talvex");
    ASSERT_TRUE(doc.EnterElement());
    ASSERT_TRUE(doc.FindChild());
    EXPECT_EQ(doc.ChildName(), "User");
    EXPECT_EQ(doc.ChildAttribute("Name"), "one");
    EXPECT_EQ(doc.ChildAttribute("ID"), "id1");
    ASSERT_TRUE(doc.FindChild());
    EXPECT_EQ(doc.ChildName(), "Folder");
    ASSERT_TRUE(doc.EnterElement());
    ASSERT_TRUE(doc.FindChild("User"));
    EXPECT_EQ(doc.ChildAttribute("Name"), "two");
    EXPECT_FALSE(doc.FindChild());
    ASSERT_TRUE(doc.LeaveElement());
    EXPECT_FALSE(doc.FindChild());
    ASSERT_TRUE(doc.LeaveElement());
    EXPECT_FALSE(doc.LeaveElement());
    // Only the first top-level element is in the table; the second stays in the text.
    doc.ResetPosition();
    ASSERT_TRUE(doc.FindSibling());
    EXPECT_FALSE(doc.FindSibling());
    EXPECT_FALSE(doc.AppendSibling("Third"));
    EXPECT_EQ(doc.Text(), text);
}

TEST(XmlDocument, NameAndAttributeMatching)
{
    CXmlDocument doc;
    ASSERT_TRUE(doc.LoadText("<r><Users/><User NameX=\"x\" Name=\"n\" Bare=unquoted/></r>"));
    ASSERT_TRUE(doc.FindChild("User"));
    EXPECT_EQ(doc.ChildName(), "User"); // "Users" is not "User"
    EXPECT_EQ(doc.ChildAttribute("Name"), "n");
    EXPECT_EQ(doc.ChildAttribute("NameX"), "x");
    EXPECT_EQ(doc.ChildAttribute("Nam"), "");
    EXPECT_EQ(doc.ChildAttribute("Bare"), "");
    EXPECT_EQ(doc.ChildAttribute("Missing"), "");
    // A ">" inside a quoted value does not end the start tag.
    ASSERT_TRUE(doc.LoadText("<r><a v=\"1>2\" w=\"3\"/></r>"));
    ASSERT_TRUE(doc.FindChild("a"));
    EXPECT_EQ(doc.ChildAttribute("w"), "3");
    ASSERT_TRUE(doc.SetChildAttribute("v", "x"));
    EXPECT_EQ(doc.Text(), "<r><a v=\"x\" w=\"3\"/></r>");
}

TEST(XmlDocument, ErrorTexts)
{
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"no element here", "Element tag not found"},
        {"<", "Abrupt end within tag"},
        {"<   ", "Abrupt end within tag"},
        {"<\"q\">", "Tag starts with quote"},
        {"<!-- open comment", "Invalid node"},
        {"<?pi never closed", "Invalid node"},
        {"<!", "Invalid node"},
        {"<a attr=\"1\"", "End of tag not found"},
        {"<a b=\"unterminated></a>", "End of tag not found"},
        {"<a>text", "End tag of a element not found"},
        {"<a><b></b>", "End tag of a element not found"},
        {"<a><b>x<c/></a>", "End tag does not correspond to b"},
        {"<a></b>", "End tag does not correspond to a"},
        {"<a></a", "End tag not completed for element a"},
        {"<a></", "End tag not completed for element a"},
        {"</a>", "Element tag not found"},
    };
    for (const auto& c : cases) {
        CXmlDocument doc;
        EXPECT_FALSE(doc.LoadText(c.text)) << c.text;
        EXPECT_EQ(doc.Error(), c.error) << c.text;
        EXPECT_EQ(doc.Text(), c.text);
        EXPECT_FALSE(doc.FindChild());
        EXPECT_FALSE(doc.FindSibling());
    }
    CXmlDocument empty;
    EXPECT_FALSE(empty.LoadText(""));
    EXPECT_FALSE(empty.FindChild());
}

TEST(XmlDocument, Entities)
{
    EXPECT_EQ(CXmlDocument::DecodeText("&lt;&amp;&other;&gt;&apos;&quot;&amp"), "<&&other;>'\"&amp");
    EXPECT_EQ(CXmlDocument::EncodeText("<&>'\"", true), "&lt;&amp;&gt;&apos;&quot;");
    EXPECT_EQ(CXmlDocument::EncodeText("<&>'\"", false), "&lt;&amp;&gt;'\"");

    CXmlDocument doc;
    ASSERT_TRUE(doc.LoadText("<r><a v=\"&lt;&amp;&other;\"/></r>"));
    ASSERT_TRUE(doc.FindChild("a"));
    EXPECT_EQ(doc.ChildAttribute("v"), "<&&other;");
    ASSERT_TRUE(doc.SetChildAttribute("v", "say \"hi\" & 'bye' <x>"));
    EXPECT_EQ(doc.Text(), "<r><a v=\"say &quot;hi&quot; &amp; &apos;bye&apos; &lt;x&gt;\"/></r>");
    EXPECT_EQ(doc.ChildAttribute("v"), "say \"hi\" & 'bye' <x>");
    ASSERT_TRUE(doc.AppendChild("d", "a<b \"c\""));
    EXPECT_NE(doc.Text().find("<d>a&lt;b \"c\"</d>\r\n"), std::string::npos);
}

TEST(XmlDocument, BuildsOneElementPerLine)
{
    CXmlDocument doc;
    ASSERT_TRUE(doc.AppendSibling("root"));
    ASSERT_TRUE(doc.AppendChild("child"));
    ASSERT_TRUE(doc.EnterElement());
    ASSERT_TRUE(doc.AppendChild("grand"));
    ASSERT_TRUE(doc.SetChildAttribute("k", "v"));
    EXPECT_EQ(doc.Text(), "<root>\r\n<child>\r\n<grand k=\"v\"/>\r\n</child>\r\n</root>\r\n");
    // More edits: a sibling after child, a second attribute, a replaced value, data.
    ASSERT_TRUE(doc.AppendSibling("next", "data"));
    ASSERT_TRUE(doc.AppendChild("in"));
    ASSERT_TRUE(doc.LeaveElement());
    ASSERT_TRUE(doc.SetChildAttribute("a", "first"));
    ASSERT_TRUE(doc.SetChildAttribute("a", "a much longer value"));
    const std::string expected = "<root>\r\n"
                                 "<child>\r\n<grand k=\"v\"/>\r\n</child>\r\n"
                                 "<next a=\"a much longer value\">data<in/>\r\n</next>\r\n"
                                 "</root>\r\n";
    EXPECT_EQ(doc.Text(), expected);
    // The table after the edits agrees with a fresh parse of the text.
    CXmlDocument fresh;
    ASSERT_TRUE(fresh.LoadText(doc.Text())) << fresh.Error();
    EXPECT_EQ(Dump(doc), Dump(fresh));
    EXPECT_EQ(Dump(fresh), "root(child[](grand[]())next[a much longer value](in[]()))");
}

TEST(XmlDocument, OpensEmptyParentAndShiftsFollowers)
{
    CXmlDocument doc;
    const std::string text = "<r>\r\n<p x=\"1\"/>\r\n<q a=\"2\"><s a=\"3\"/></q>\r\n</r>\r\n";
    ASSERT_TRUE(doc.LoadText(text));
    ASSERT_TRUE(doc.FindChild("p"));
    ASSERT_TRUE(doc.EnterElement());
    ASSERT_TRUE(doc.AppendChild("c"));
    EXPECT_EQ(doc.Text(), "<r>\r\n<p x=\"1\">\r\n<c/>\r\n</p>\r\n<q a=\"2\"><s a=\"3\"/></q>\r\n</r>\r\n");
    ASSERT_TRUE(doc.AppendChild("d"));
    ASSERT_TRUE(doc.SetChildAttribute("a", "dd"));
    ASSERT_TRUE(doc.LeaveElement());
    ASSERT_TRUE(doc.FindChild("q"));
    EXPECT_EQ(doc.ChildAttribute("a"), "2");
    ASSERT_TRUE(doc.EnterElement());
    ASSERT_TRUE(doc.FindChild("s"));
    EXPECT_EQ(doc.ChildAttribute("a"), "3");
    ASSERT_TRUE(doc.SetChildAttribute("a", "33"));
    CXmlDocument fresh;
    ASSERT_TRUE(fresh.LoadText(doc.Text())) << fresh.Error();
    EXPECT_EQ(Dump(doc), Dump(fresh));
    EXPECT_EQ(Dump(fresh), "r(p[](c[]()d[dd]())q[2](s[33]()))");
}

TEST(XmlDocument, DoubleByteTrailNeverMatchesDelimiter)
{
    // 0x81 0x5C is one character whose second byte is "\"; 0x81 0x5D one whose second is "]".
    const std::string name = "\x81\x5C" "x";
    CXmlDocument doc;
    ASSERT_TRUE(doc.LoadText("<r><a " + name + "=\"1\"/></r>"));
    ASSERT_TRUE(doc.FindChild("a"));
    EXPECT_EQ(doc.ChildAttribute(name), "1");
    ASSERT_TRUE(doc.LoadText("<r><![CDATA[\x81]]><b>]]></r>")) << doc.Error();
    EXPECT_FALSE(doc.FindChild("b"));
    const std::string value = "\xC8\xAB\xB1\xE6\xB5\xBF"; // three Hangul syllables in CP949
    ASSERT_TRUE(doc.LoadText("<r><a/></r>"));
    ASSERT_TRUE(doc.FindChild("a"));
    ASSERT_TRUE(doc.SetChildAttribute("v", value));
    EXPECT_EQ(doc.ChildAttribute("v"), value);
}

TEST(XmlDocument, FileRoundTripKeepsBytesAndReplacesAtomically)
{
    const fs::path dir = TempDir();
    const fs::path path = dir / "doc.xml";
    const std::string text = "<?xml version=\"1.0\"?>\n<!-- keep -->\n<a  x = \"1\" >\n\t<b/>\n</a>\ntrailing";
    { std::ofstream(path, std::ios::binary) << text; }
    CXmlDocument doc;
    ASSERT_TRUE(doc.LoadFile(path.string()));
    ASSERT_TRUE(doc.SaveFile(path.string(), 0600));
    EXPECT_EQ(ReadAll(path), text);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A save that cannot complete leaves the old file and no temporary file behind.
    const fs::path blocked = dir / "blocked";
    fs::create_directories(blocked / "inside");
    EXPECT_FALSE(doc.SaveFile(blocked.string()));
    EXPECT_TRUE(fs::is_directory(blocked / "inside"));
    EXPECT_FALSE(doc.SaveFile((dir / "missing" / "doc.xml").string()));
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir))
        ++files;
    EXPECT_EQ(files, 2u);

    // A file that cannot be read leaves the document as it was.
    EXPECT_FALSE(doc.LoadFile((dir / "nothing.xml").string()));
    EXPECT_EQ(doc.Text(), text);
    fs::remove_all(dir);
}

TEST(XmlDocument, HostileInputGivesErrors)
{
    CXmlDocument doc;
    std::string deep;
    for (int i = 0; i < 200000; ++i)
        deep += "<a>";
    EXPECT_FALSE(doc.LoadText(deep));
    EXPECT_EQ(doc.Error(), "Elements nested too deeply");

    std::string deepButFine;
    for (int i = 0; i < CXmlDocument::kMaxDepth - 1; ++i)
        deepButFine += "<a>";
    for (int i = 0; i < CXmlDocument::kMaxDepth - 1; ++i)
        deepButFine += "</a>";
    EXPECT_TRUE(doc.LoadText(deepButFine)) << doc.Error();

    EXPECT_FALSE(doc.LoadText(std::string(CXmlDocument::kMaxTextSize + 1, ' ')));
    EXPECT_EQ(doc.Error(), "Document too large");

    EXPECT_FALSE(doc.LoadText("<a b='never closed>" + std::string(100000, 'x')));
    EXPECT_EQ(doc.Error(), "End of tag not found");
    EXPECT_FALSE(doc.LoadText("<!DOCTYPE x [[[[ " + std::string(1000, '[') + "><a/>"));
    EXPECT_EQ(doc.Error(), "Invalid node");

    // Mutated documents: whatever the parser makes of them, navigation and edits stay safe.
    const std::string seed = "<?x?><!--c--><r a=\"1\"><b c='2'>t&amp;<d/></b><![CDATA[x]]><e/></r>";
    std::mt19937 rng(12345);
    int parsed = 0;
    const char alphabet[] = "<>/=\"'!?[]-& \x81\x5C" "ab";
    for (int round = 0; round < 3000; ++round) {
        std::string text = seed;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < edits; ++k) {
            const size_t at = rng() % text.size();
            const char c = alphabet[rng() % (sizeof alphabet - 1)];
            switch (rng() % 3) {
            case 0: text[at] = c; break;
            case 1: text.insert(at, 1, c); break;
            default: text.erase(at, 1); break;
            }
        }
        if (!doc.LoadText(text))
            continue;
        ++parsed;
        const std::string before = Dump(doc);
        doc.ResetPosition();
        if (doc.FindChild()) {
            doc.SetChildAttribute("z", "v<\"");
            doc.AppendChild("n");
            doc.EnterElement();
            doc.AppendChild("m", "x");
        }
        CXmlDocument fresh;
        EXPECT_TRUE(fresh.LoadText(doc.Text())) << text;
        EXPECT_EQ(Dump(fresh), Dump(doc)) << text << " was " << before;
    }
    EXPECT_GT(parsed, 300);
}
