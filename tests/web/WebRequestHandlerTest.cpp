// Requests for the snapshot folder through the real engine on loopback.
#include "WebRequestHandler.h"
#include "HttpRawClient.h"
#include "NetMimeTable.h"
#include "ServedFolder.h"
#include "TestSupport.h"

#include <QDir>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include <dirent.h>

using namespace std::chrono_literals;

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
                .Password = &Password,
                .WrongPassword = [this](const QString&) { ++WrongPasswords; },
                .Live = LiveOn ? Live : nullptr,
            };
            if (Guarded)
                AnswerWebRequest(thread, request, response, context);
            else
                AnswerFileRequest(thread, request, response, context);
        };
        Server.SetActive(true);
    }
    void TearDown() override {
        Server.SetActive(false);
        Camera = {};
    }

    // A stand-in for the camera: a new picture every 10 ms while anyone watches.
    void StartCamera() {
        LiveOn = true;
        Camera = std::jthread([this](std::stop_token stop) {
            for (int number = 1; !stop.stop_requested(); std::this_thread::sleep_for(10ms)) {
                if (!Live->Watched())
                    continue;
                const std::string text = "\xFF\xD8picture " + std::to_string(number++) + "\xFF\xD9";
                Live->Publish(
                    std::make_shared<const std::vector<std::uint8_t>>(text.begin(), text.end()));
            }
        });
    }

    TAnswer Get(const QByteArray& document, const QByteArray& method = "GET",
                const QByteArray& headers = "") {
        // A POST without a length would be read up to the end of the connection.
        const QByteArray length = method == "POST" ? "Content-Length: 0\r\n" : "";
        return Split(Exchange(Server.BoundPort(), method + " " + document + " HTTP/1.0\r\n" +
                                                      length + headers + "\r\n"));
    }

    TTempDir Folder;
    QString Root;
    TNetMimeTable Mime;
    TNetHTTPServer Server;
    std::mutex StatusLock;
    QStringList Statuses;
    TWebPassword Password;
    std::atomic<bool> Guarded = true;
    std::atomic<int> WrongPasswords = 0;
    const std::shared_ptr<TLiveFeed> Live = std::make_shared<TLiveFeed>();
    std::atomic<bool> LiveOn = false;
    std::jthread Camera;
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

// Links were followed by name, so one in the folder served any file of the machine.
TEST_F(WebRequestHandlerTest, LinksAreFollowedOnlyWhileTheyStayInsideTheFolder) {
    const std::filesystem::path cam = Folder.Path() / "cam";
    const std::pair<const char*, std::filesystem::path> links[] = {
        {"leak.txt", "../secret.txt"},
        {"abs-leak.txt", Folder.Path() / "secret.txt"},
        {"out", "../camera2"},
        {"chain1", "chain2"},
        {"chain2", "sub/chain3"},
        {"sub/chain3", "../../secret.txt"},
        {"sub/out", "../out"},
        {"dangling.txt", "../missing.txt"},
        {"loop", "loop"},
        {"same.jpg", "camera.jpg"},
        {"abs-same.jpg", cam / "camera.jpg"},
        {"in", "sub"},
        {"sub/up.jpg", "../camera.jpg"},
    };
    for (const auto& [name, target] : links)
        std::filesystem::create_symlink(target, cam / name);
    std::filesystem::create_symlink("cam", Folder.Path() / "camlink");

    const QByteArray denied = AccessDeniedPage.toUtf8();
    const QByteArray jpeg = "\xFF\xD8jpeg bytes\xFF\xD9";
    struct TCase {
        QByteArray Document;
        QByteArray Status;
        QByteArray Body;
    };
    const TCase cases[] = {
        {"/leak.txt", "403 Forbidden", denied},
        {"/abs-leak.txt", "403 Forbidden", denied},
        {"/out/x.jpg", "403 Forbidden", denied},
        {"/chain1", "403 Forbidden", denied},
        {"/sub/out/x.jpg", "403 Forbidden", denied},
        {"/out/", "404 Not Found", {}}, // a folder without an index page, like one inside
        {"/dangling.txt", "404 Not Found", {}},
        {"/loop", "404 Not Found", {}},
        {"/same.jpg", "200 OK", jpeg},
        {"/abs-same.jpg", "200 OK", jpeg},
        {"/in/", "200 OK", "<p>sub</p>"},
        {"/sub/up.jpg", "200 OK", jpeg},
    };
    // The folder itself may be a link, as typed or with its slash.
    for (const QString& root : {Folder.File("cam/"), Folder.File("camlink")}) {
        Root = root;
        for (const TCase& test : cases) {
            SCOPED_TRACE(test.Document.constData());
            SCOPED_TRACE(root.toStdString());
            const TAnswer answer = Get(test.Document);
            EXPECT_EQ(answer.StatusLine(), "HTTP/1.1 " + test.Status);
            if (!test.Body.isEmpty()) {
                EXPECT_EQ(answer.Body, test.Body);
            }
            EXPECT_NE(answer.Body, "secret");
            EXPECT_NE(answer.Body, "sibling");
            EXPECT_FALSE(answer.Body.contains(Folder.QPath().toUtf8()));
            // The walk for kernels without openat2 comes to the same end.
            const TServedFolder folder(root);
            QString relative = QString::fromUtf8(test.Document.mid(1));
            if (relative.endsWith('/'))
                relative.chop(1);
            EXPECT_EQ(folder.Walk(relative).Outcome, folder.Open(relative).Outcome);
        }
    }
}

// Whatever a link points to at the moment of a request, only bytes from inside go out.
TEST_F(WebRequestHandlerTest, ALinkSwappedDuringRequestsNeverLeadsOut) {
    const std::filesystem::path cam = Folder.Path() / "cam";
    const std::filesystem::path targets[] = {"camera.jpg", "../secret.txt", cam / "camera.jpg",
                                             Folder.Path() / "secret.txt"};
    std::atomic<bool> stop = false;
    std::thread swapper([&] {
        for (std::size_t i = 0; !stop; ++i) {
            std::error_code ignored;
            std::filesystem::remove(cam / "swap.tmp", ignored);
            std::filesystem::create_symlink(targets[i % std::size(targets)], cam / "swap.tmp",
                                            ignored);
            std::filesystem::rename(cam / "swap.tmp", cam / "swap.jpg", ignored);
        }
    });
    for (int i = 0; i < 400; ++i) {
        const TAnswer answer = Get("/swap.jpg");
        if (answer.StatusLine() == "HTTP/1.1 200 OK") {
            EXPECT_EQ(answer.Body, "\xFF\xD8jpeg bytes\xFF\xD9");
        } else {
            EXPECT_TRUE(answer.StatusLine() == "HTTP/1.1 403 Forbidden" ||
                        answer.StatusLine() == "HTTP/1.1 404 Not Found")
                << answer.StatusLine().constData();
        }
    }
    stop = true;
    swapper.join();
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

TEST_F(WebRequestHandlerTest, APasswordGuardsEveryRequestAndNoneAnswersAsBefore) {
    for (const char* const document : {"/camera.jpg", "/sub/", "/missing.jpg", "/../secret.txt"}) {
        SCOPED_TRACE(document);
        Guarded = false;
        const TAnswer plain = Get(document);
        Guarded = true;
        const TAnswer guarded = Get(document);
        EXPECT_EQ(guarded.Head, plain.Head);
        EXPECT_EQ(guarded.Body, plain.Body);
    }

    Password.Set(QString::fromUtf8("pässwort"));
    const auto basic = [](const char* credentials) {
        return "Authorization: Basic " + QByteArray(credentials).toBase64() + "\r\n";
    };
    const struct {
        const char* name;
        QByteArray headers;
        bool admitted;
    } cases[] = {
        {"no credentials", "", false},
        {"wrong password", basic("admin:passwort"), false},
        {"password as the user name", basic("p\xC3\xA4sswort"), false},
        {"any user name", basic("anyone:p\xC3\xA4sswort"), true},
        {"no user name", basic(":p\xC3\xA4sswort"), true},
    };
    StartCamera();
    // The stream is asked for its header only, which ends the answer.
    const std::pair<const char*, const char*> requests[] = {
        {"/camera.jpg", "GET"}, {"/camera.jpg", "HEAD"}, {"/live.mjpg", "HEAD"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& [document, method] : requests) {
            SCOPED_TRACE(document);
            const TAnswer answer = Get(document, method, c.headers);
            if (c.admitted) {
                EXPECT_EQ(answer.StatusLine(), "HTTP/1.1 200 OK");
            } else {
                EXPECT_EQ(answer.StatusLine(), "HTTP/1.1 401 Unauthorized");
                EXPECT_TRUE(answer.HasHeader("WWW-Authenticate: Basic realm=\"Kamvero\""));
                EXPECT_FALSE(answer.Body.contains("jpeg bytes"));
            }
        }
    }
    // Only offered passwords count as refused: a browser asks without one first.
    EXPECT_EQ(WrongPasswords, 6);
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* const folder = ::opendir("/proc/self/fd")) {
        while (::readdir(folder))
            ++count;
        ::closedir(folder);
    }
    return count;
}

// A viewer of the stream, reading it as a browser would.
struct TStreamViewer {
    explicit TStreamViewer(int port) : Client(port) {
        Client.Send("GET /live.mjpg HTTP/1.0\r\n\r\n");
    }
    // What arrives within the time, added to what came before.
    const QByteArray& Read(std::chrono::milliseconds limit = 300ms) {
        Received += Client.ReadUntilClosed(limit);
        return Received;
    }
    THttpRawClient Client;
    QByteArray Received;
};

// Live view's two names, its viewers and its end, through the real engine. The workers a stream
// holds are made up for: with two workers for the server, folder requests are still answered
// while eight viewers watch.
TEST_F(WebRequestHandlerTest, LiveViewSeatsEightViewersWithoutTakingTheFolderWorkers) {
    WriteTextFile(Folder.File("cam/live.mjpg"), "a file of the folder");
    EXPECT_EQ(Get("/live.jpg").StatusLine(), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(Get("/live.mjpg").Body, "a file of the folder");

    Server.SetActive(false);
    Server.MaxConnections = 2;
    Server.SetActive(true);
    StartCamera();
    const TAnswer still = Get("/live.jpg");
    // The pool has its two workers now; what streams add on top must go again.
    const int descriptors = OpenDescriptors();
    EXPECT_EQ(still.StatusLine(), "HTTP/1.1 200 OK");
    EXPECT_TRUE(still.HasHeader("Content-Type: image/jpeg"));
    EXPECT_TRUE(still.Body.startsWith("\xFF\xD8picture ")) << still.Body.constData();

    std::vector<std::unique_ptr<TStreamViewer>> viewers;
    for (int i = 0; i < TLiveFeed::MaxViewers; ++i) {
        viewers.push_back(std::make_unique<TStreamViewer>(Server.BoundPort()));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return viewers.back()->Read().count("--kamveroframe\r\n") >= 2; }, 3000))
            << "viewer " << i << ": " << viewers.back()->Received.left(300).constData();
    }
    const QByteArray& first = viewers.front()->Received;
    EXPECT_TRUE(first.startsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_TRUE(
        first.contains("\r\nContent-Type: multipart/x-mixed-replace; boundary=kamveroframe\r\n"));
    EXPECT_TRUE(first.contains("--kamveroframe\r\nContent-Type: image/jpeg\r\nContent-Length: "));

    const TAnswer turnedAway = Get("/live.mjpg");
    EXPECT_EQ(turnedAway.StatusLine(), "HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(Get("/camera.jpg").StatusLine(), "HTTP/1.1 200 OK");

    // Viewers leaving mid-stream give their seats back.
    for (int i = 0; i < 3; ++i)
        viewers.pop_back();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Server.LiveConnections() == 5; }, 3000));
    viewers.push_back(std::make_unique<TStreamViewer>(Server.BoundPort()));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return viewers.back()->Read().contains("image/jpeg"); }, 3000));

    // The camera stopping ends every stream properly, and there is no still picture until
    // pictures come again.
    LiveOn = false;
    Camera = {};
    Live->End();
    for (const auto& viewer : viewers) {
        viewer->Read(3000ms);
        EXPECT_TRUE(viewer->Client.Closed());
        EXPECT_TRUE(viewer->Received.endsWith("\r\n--kamveroframe--\r\n"))
            << viewer->Received.right(100).constData();
    }
    viewers.clear();
    LiveOn = true;
    EXPECT_EQ(Get("/live.jpg").StatusLine(), "HTTP/1.1 503 Service Unavailable");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Server.LiveConnections() == 0; }, 3000));
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST(WebRefusals, AtMostOneLineAMinuteCountingTheRestOfThem) {
    TWebRefusals refusals;
    const auto start = TWebRefusals::TClock::now();
    EXPECT_EQ(refusals.Refused("10.0.0.7", start), "Web server: wrong password from 10.0.0.7");
    for (int second = 1; second < 60; second += 10)
        EXPECT_FALSE(refusals.Refused("10.0.0.7", start + std::chrono::seconds(second)));
    EXPECT_EQ(refusals.Refused("10.0.0.8", start + std::chrono::seconds(60)),
              "Web server: wrong password from 10.0.0.8 (and 6 more refused since the last line)");
}

} // namespace
