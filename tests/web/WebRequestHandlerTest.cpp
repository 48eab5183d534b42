// Requests for the snapshot folder through the real engine on loopback.
#include "WebRequestHandler.h"
#include "HttpRawClient.h"
#include "NetMimeTable.h"
#include "TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

#include <mutex>

namespace {

struct TAnswer {
    QByteArray Head;
    QByteArray Body;
    QByteArray StatusLine() const { return Head.left(Head.indexOf("\r\n")); }
    bool HasHeader(const QByteArray& line) const { return Head.contains("\r\n" + line + "\r\n"); }
};

TAnswer Split(const QByteArray& answer) {
    const auto end = answer.indexOf("\r\n\r\n");
    return {answer.left(end + 2), end < 0 ? QByteArray() : answer.mid(end + 4)};
}

class WebRequestHandlerTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(QDir(Folder.QPath()).mkpath("cam/sub"));
        ASSERT_TRUE(QDir(Folder.QPath()).mkpath("camera2"));
        WriteTextFile(Folder.File("cam/camera.jpg"), "\xFF\xD8jpeg bytes\xFF\xD9");
        WriteTextFile(Folder.File("cam/sub/index.html"), "<p>sub</p>");
        WriteTextFile(Folder.File("secret.txt"), "secret");
        WriteTextFile(Folder.File("camera2/x.jpg"), "sibling");
        Root = Folder.File("cam/");
        Server.DefaultPort = 0;
        Server.ServerSoftware = "Kamvera";
        Server.OnCommandGet = [this](TNetPeerThread& thread, TNetHTTPRequestInfo& request,
                                     TNetHTTPResponseInfo& response) {
            const TWebRequestContext context{
                .DocumentRoot = Root,
                .MimeTypeForFile =
                    [this](const QString& name) { return Mime.MimeTypeForFile(name); },
                .ShowStatus =
                    [this](const QString& text) {
                        const std::lock_guard lock(StatusLock);
                        Statuses << text;
                    },
            };
            AnswerFileRequest(thread, request, response, context);
        };
        Server.SetActive(true);
    }
    void TearDown() override { Server.SetActive(false); }

    TAnswer Get(const QByteArray& document, const QByteArray& method = "GET") {
        // A POST without a length would be read up to the end of the connection.
        const QByteArray length = method == "POST" ? "Content-Length: 0\r\n" : "";
        return Split(Exchange(Server.BoundPort(),
                              method + " " + document + " HTTP/1.0\r\n" + length + "\r\n"));
    }

    TTempDir Folder;
    QString Root;
    TNetMimeTable Mime;
    TNetHTTPServer Server;
    std::mutex StatusLock;
    QStringList Statuses;
};

TEST_F(WebRequestHandlerTest, FilesAreSentWithTheirOwnTypeAndSize) {
    for (const QByteArray method : {"GET", "POST"}) {
        const TAnswer answer = Get("/camera.jpg", method);
        EXPECT_EQ(answer.StatusLine(), "HTTP/1.1 200 OK") << method.constData();
        EXPECT_TRUE(answer.HasHeader("Content-Type: image/jpeg")) << answer.Head.constData();
        EXPECT_TRUE(answer.HasHeader("Content-Length: 14"));
        EXPECT_EQ(answer.Body, "\xFF\xD8jpeg bytes\xFF\xD9");
    }
    const TAnswer head = Get("/camera.jpg", "HEAD");
    EXPECT_EQ(head.StatusLine(), "HTTP/1.1 200 OK");
    EXPECT_TRUE(head.HasHeader("Content-Type: image/jpeg"));
    EXPECT_TRUE(head.HasHeader("Content-Length: 14"));
    EXPECT_TRUE(head.Body.isEmpty());
}

TEST_F(WebRequestHandlerTest, FoldersAnswerWithTheirIndexPage) {
    for (const QByteArray document : {"/sub/", "/sub", "//sub/./", "/sub/../sub"}) {
        const TAnswer answer = Get(document);
        EXPECT_EQ(answer.StatusLine(), "HTTP/1.1 200 OK") << document.constData();
        EXPECT_TRUE(answer.HasHeader("Content-Type: text/html"));
        EXPECT_EQ(answer.Body, "<p>sub</p>");
    }
    // No index.html in the root itself.
    const TAnswer root = Get("/");
    EXPECT_EQ(root.StatusLine(), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(root.Body,
              "<html><head><title>Error</title></head><body><h1>Not Found</h1></body></html>");
}

TEST_F(WebRequestHandlerTest, NothingOutsideTheFolderIsEverRead) {
    const QByteArray denied = AccessDeniedPage.toUtf8();
    struct TCase {
        QByteArray Document;
        QByteArray Status;
    };
    const TCase cases[] = {
        {"/../secret.txt", "403 Forbidden"},
        {"/sub/../../secret.txt", "403 Forbidden"},
        {"/../camera2/x.jpg", "403 Forbidden"}, // "cam" is a prefix of "camera2", not its parent
        {"/../missing.txt", "404 Not Found"},
        {"/..%2fsecret.txt", "404 Not Found"}, // not decoded: a name with a percent sign
        {"/%2e%2e/secret.txt", "404 Not Found"},
        {"/..%252fsecret.txt", "404 Not Found"},
        {"/../../../../../../../../etc/passwd", "403 Forbidden"},
    };
    for (const TCase& test : cases) {
        const TAnswer answer = Get(test.Document);
        EXPECT_EQ(answer.StatusLine(), "HTTP/1.1 " + test.Status) << test.Document.constData();
        EXPECT_FALSE(answer.Body.contains("secret") && !answer.Body.contains("priviligies"));
        EXPECT_FALSE(answer.Body.contains("sibling"));
        if (test.Status.startsWith("403")) {
            EXPECT_EQ(answer.Body, denied);
        }
    }
}

TEST_F(WebRequestHandlerTest, RootTypedWithoutItsSlashStillKeepsSiblingsOutAndNoRootServesNothing) {
    Root = Folder.File("cam");
    EXPECT_EQ(Get("/../camera2/x.jpg").StatusLine(), "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(Get("/camera.jpg").StatusLine(), "HTTP/1.1 200 OK");
    EXPECT_FALSE(LiesWithinRoot(Folder.File("camera2/x.jpg"), Folder.File("cam")));
    EXPECT_TRUE(LiesWithinRoot(Folder.File("cam"), Folder.File("cam/")));
    EXPECT_TRUE(LiesWithinRoot("/etc/passwd", "/"));

    // No folder at all serves nothing, not the folder the program happens to run in.
    Root.clear();
    EXPECT_FALSE(LiesWithinRoot(QDir::currentPath() + "/x", ""));
    EXPECT_EQ(Get("/camera.jpg").StatusLine(), "HTTP/1.1 404 Not Found");
}

TEST_F(WebRequestHandlerTest, StatusTextsComeInRequestOrder) {
    Get("/camera.jpg");
    Get("/missing.jpg", "HEAD");
    const std::lock_guard lock(StatusLock);
    EXPECT_EQ(Statuses, QStringList({"GET", "Sending camera.jpg 14 bytes", "", "HEAD", ""}));
}

TEST_F(WebRequestHandlerTest, ClientLeavingMidFileEndsOnlyItsOwnAnswer) {
    WriteTextFile(Folder.File("cam/big.jpg"), QByteArray(8 * 1024 * 1024, 'x'));
    for (int i = 0; i < 3; ++i) {
        THttpRawClient client(Server.BoundPort());
        ASSERT_TRUE(client.Send("GET /big.jpg HTTP/1.0\r\n\r\n"));
        ASSERT_TRUE(client.WaitReadable(std::chrono::seconds(3)));
        client.Close(); // with most of the file unsent
    }
    EXPECT_EQ(Get("/camera.jpg").StatusLine(), "HTTP/1.1 200 OK");
}

} // namespace
