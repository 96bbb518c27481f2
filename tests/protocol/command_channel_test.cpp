#include "engine_fixture.h"

#include <thread>

using namespace talvex;
using namespace std::chrono_literals;
using fake::Answer;

class CommandChannelTest : public EngineTest {
protected:
    void Open()
    {
        worker = StartCommandChannel(Info("S1"), reports);
        conn = server.Accept();
        ASSERT_TRUE(conn);
        ASSERT_EQ(conn->ReadRequest().value_or(""),
                  "TLXSP/1.0 REQUEST__ BROWSE___\r\nSESSION-ID : S1\r\nREQUEST-ID : browse#1\r\nPATH : /\r\n\r\n");
    }
    static std::string WithBody(std::string_view command, const std::string& body)
    {
        return Answer(command, 200, "DATA-LENGTH : " + std::to_string(body.size()) + "\r\n") + body;
    }

    std::unique_ptr<Worker> worker;
    std::unique_ptr<fake::Connection> conn;
};

TEST_F(CommandChannelTest, ListingsAndSearch)
{
    Open();
    const std::string listing = "1 0 2006 11 30 14 5 9 My Folder\r\n0 1536 2006 11 30 14 5 9 \xB9\xAE\xBC\xAD.doc\r\n";
    const std::string answer = WithBody("BROWSE___", listing);
    conn->WriteSplit(answer, {10, answer.size() - listing.size() + 5}, 60ms); // header split, body split
    Report root = Expect(UM_BROWSE);
    ASSERT_TRUE(root.entries);
    ASSERT_EQ(root.entries->size(), 2u);
    EXPECT_TRUE((*root.entries)[0].IsFolder());
    EXPECT_EQ((*root.entries)[0].name, "My Folder");
    EXPECT_EQ((*root.entries)[1].name, "문서.doc");
    EXPECT_TRUE((*root.entries)[1].modified.IsValid());

    worker->Post(UM_BROWSE, Cmd(UM_BROWSE, "/문서"));
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ BROWSE___\r\nSESSION-ID : S1\r\nREQUEST-ID : browse#1\r\nPATH : /\xB9\xAE\xBC\xAD\r\n\r\n");
    worker->Post(UM_SEARCH, Cmd(UM_SEARCH, "/", "report"));
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ SEARCH___\r\nSESSION-ID : S1\r\nPATH : /\r\nPATH2 : report\r\n\r\n");
    // Both answers in one write; the search body is empty.
    conn->Write(WithBody("BROWSE___", "0 1 2006 1 1 0 0 0 a\r\n") + Answer("SEARCH___", 200));
    EXPECT_EQ(Expect(UM_BROWSE).entries->size(), 1u);
    Report search = Expect(UM_SEARCH);
    ASSERT_TRUE(search.entries);
    EXPECT_TRUE(search.entries->empty());
    worker.reset();
    EXPECT_TRUE(TlxFiles().empty());
}

TEST_F(CommandChannelTest, FolderCommandsAndRename)
{
    Open();
    conn->Write(Answer("BROWSE___", 200));
    Expect(UM_BROWSE);
    worker->Post(UM_MKDIR, Cmd(UM_MKDIR, "/new"));
    worker->Post(UM_RMDIR, Cmd(UM_RMDIR, "/old"));
    worker->Post(UM_RENAME, Cmd(UM_RENAME, "/a.txt", "/b.txt"));
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ MKDIR____\r\nREQUEST-ID : mkdir#1\r\nSESSION-ID : S1\r\nPATH : /new\r\n\r\n");
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ RMDIR____\r\nREQUEST-ID : rmdir#1\r\nSESSION-ID : S1\r\nPATH : /old\r\n\r\n");
    EXPECT_EQ(conn->ReadRequest().value_or(""),
              "TLXSP/1.0 REQUEST__ RENAME___\r\nREQUEST-ID : rename#1\r\nSESSION-ID : S1\r\nPATH : /a.txt\r\nPATH2 : /b.txt\r\n\r\n");
    conn->Write(Answer("MKDIR____", 200, "PATH : /new\r\n") + Answer("RMDIR____", 500) +
                Answer("RENAME___", 409, "PATH : /a.txt\r\nPATH2 : /\xB9\xAE.txt\r\n"));
    EXPECT_EQ(Expect(UM_MKDIR_RESULT).response->path, "/new");
    EXPECT_EQ(Expect(UM_RMDIR_RESULT).response->statusCode, 500);
    Report rename = Expect(UM_RENAME_RESULT);
    EXPECT_EQ(rename.response->statusCode, 409);
    EXPECT_EQ(rename.response->path2, "/문.txt");
}

TEST_F(CommandChannelTest, DeletesAreSerialised)
{
    Open();
    conn->Write(Answer("BROWSE___", 200));
    Expect(UM_BROWSE);
    worker->Post(UM_DELFILE, Cmd(UM_DELFILE, "/Docs/A.txt"));
    worker->Post(UM_DELFILE, Cmd(UM_DELFILE, "/b.txt"));
    const std::string first = "TLXSP/1.0 REQUEST__ DELFILE__\r\nREQUEST-ID : delfile#1\r\nSESSION-ID : S1\r\nPATH : /Docs/A.txt\r\n\r\n";
    const std::string second = "TLXSP/1.0 REQUEST__ DELFILE__\r\nREQUEST-ID : delfile#1\r\nSESSION-ID : S1\r\nPATH : /b.txt\r\n\r\n";
    EXPECT_EQ(conn->ReadRequest().value_or(""), first);
    EXPECT_TRUE(conn->Quiet()) << "the second delete waits for the first answer";

    // An answer whose path differs only in case settles the first delete.
    conn->Write(Answer("DELFILE__", 200, "PATH : /docs/a.TXT\r\n"));
    Report done = Expect(UM_DELFILE_DONE);
    EXPECT_EQ(done.code, 200);
    EXPECT_EQ(conn->ReadRequest().value_or(""), second);

    // An unmatched failure answer: dropped silently, the head is sent again.
    conn->Write(Answer("DELFILE__", 500, "PATH : /other\r\n"));
    EXPECT_EQ(conn->ReadRequest().value_or(""), second);
    conn->Write(Answer("DELFILE__", 204, "PATH : /b.txt\r\n"));
    EXPECT_TRUE(conn->Quiet());
    EXPECT_TRUE(NoReport());

    // An unencodable path is reported and does not block the queue.
    worker->Post(UM_DELFILE, Cmd(UM_DELFILE, "/\xF0\x9F\x98\x80"));
    Report bad = Expect(UM_REQUEST_NOT_SENT);
    EXPECT_EQ(bad.response->command, "DELFILE__");
    EXPECT_EQ(bad.response->path, "/\xF0\x9F\x98\x80");
    worker->Post(UM_DELFILE, Cmd(UM_DELFILE, "/c"));
    EXPECT_NE(conn->ReadRequest().value_or("").find("PATH : /c\r\n"), std::string::npos);
}

TEST_F(CommandChannelTest, ServerCloseAndListingCutShort)
{
    Open();
    conn->Write(Answer("BROWSE___", 200, "DATA-LENGTH : 500\r\n") + "0 1 2006 1 1 0 0 0 a\r\n");
    std::this_thread::sleep_for(100ms);
    conn->Close();
    Expect(UM_CONNECTION_LOST);
    EXPECT_TRUE(NoReport());
    worker->Join();
    EXPECT_TRUE(TlxFiles().empty());
}

TEST_F(CommandChannelTest, ConnectFailure)
{
    CChannelStartInfo info = Info("S1");
    { fake::Server gone; info.port = gone.Port(); }
    auto w = StartCommandChannel(info, reports);
    Expect(UM_COMMAND_CONNECT_FAILED);
}
