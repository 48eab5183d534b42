// A real browser against the web server: headless Chromium fetches the snapshot pages and the
// snapshot itself from our server on loopback, and must decode the picture both times.
#include "BrowserRun.h"
#include "NetHTTPServer.h"
#include "NetMimeTable.h"
#include "StarterSettings.h"
#include "TestSupport.h"
#include "WebRequestHandler.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRect>
#include <QRegularExpression>
#include <QScopeGuard>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

const QSize PictureSize{173, 97};
const QColor PictureColour{30, 144, 200};
// Room for JPEG rounding and the browser's colour handling.
constexpr int ColourTolerance = 24;

// After the page's load event the picture has loaded or failed; one that failed reports 0x0.
// Drawing it into a canvas proves that its pixels decode, not only its header.
const QByteArray IndexPage = R"(<!DOCTYPE html>
<html><body><img src="camera.jpg"><p id="result">not loaded</p>
<script>
window.addEventListener('load', () => {
  const picture = document.querySelector('img');
  const width = picture.naturalWidth, height = picture.naturalHeight;
  let centre = 'none';
  if (width > 0 && height > 0) {
    const canvas = document.createElement('canvas');
    canvas.width = width;
    canvas.height = height;
    const context = canvas.getContext('2d');
    context.drawImage(picture, 0, 0);
    centre = Array.from(context.getImageData(width >> 1, height >> 1, 1, 1).data.slice(0, 3)).join(',');
  }
  document.getElementById('result').textContent = width + 'x' + height + ' ' + centre;
});
</script></body></html>
)";

bool IsPictureColour(const QColor& colour) {
    return std::abs(colour.red() - PictureColour.red()) <= ColourTolerance &&
           std::abs(colour.green() - PictureColour.green()) <= ColourTolerance &&
           std::abs(colour.blue() - PictureColour.blue()) <= ColourTolerance;
}

// The smallest rectangle holding every pixel of the picture's colour; empty when there is none.
QRect AreaOfPictureColour(const QImage& image) {
    QRect area;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (IsPictureColour(image.pixelColor(x, y)))
                area |= QRect(x, y, 1, 1);
    return area;
}

std::string SizeText(QSize size) {
    return std::to_string(size.width()) + "x" + std::to_string(size.height());
}

class BrowserTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(QFileInfo(ChromiumPath).isExecutable())
            << "Chromium is missing at " << ChromiumPath.toStdString()
            << "; install it with scripts/setup (Debian package chromium).";
        ASSERT_TRUE(QDir(Folder.QPath()).mkpath("site"));
        QImage picture(PictureSize, QImage::Format_RGB32);
        picture.fill(PictureColour);
        ASSERT_TRUE(picture.save(Folder.File("site/camera.jpg"), "JPEG", 95));
        WriteTextFile(Folder.File("site/index.html"), IndexPage);

        Server.Bindings = {{QStringLiteral("127.0.0.1"), 0}};
        Server.ServerSoftware = "Kamvera";
        Server.OnCommandGet = [this](TNetPeerThread& thread, TNetHTTPRequestInfo& request,
                                     TNetHTTPResponseInfo& response) {
            const TWebRequestContext context{
                .DocumentRoot = Folder.File("site"),
                .MimeTypeForFile =
                    [this](const QString& name) { return Mime.MimeTypeForFile(name); },
                .ShowStatus = [](const QString&) {},
            };
            AnswerFileRequest(thread, request, response, context);
        };
    }

    QString Url(const QString& document) const {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(Server.BoundPort()).arg(document);
    }
    QString BrowserFolder() const { return Folder.File("browser"); }
    // The page as the browser made it, once its scripts ran for three seconds.
    TBrowserRun DumpedPage(const QString& document) const {
        return RunChromium(BrowserFolder(),
                           {"--virtual-time-budget=3000", "--dump-dom", Url(document)});
    }

    TTempDir Folder;
    TNetMimeTable Mime;
    TNetHTTPServer Server;
};

TEST_F(BrowserTest, SnapshotPageShowsTheDecodedPicture) {
    Server.SetActive(true);
    const auto stopServer = qScopeGuard([this] { Server.SetActive(false); });

    // "/" also takes the folder's index.html path through the handler.
    const TBrowserRun run = DumpedPage("/");
    ASSERT_TRUE(RanToTheEnd(run));

    const auto match = QRegularExpression(R"(<p id="result">(\d+)x(\d+) ([^<]*)</p>)")
                           .match(QString::fromUtf8(run.Output));
    ASSERT_TRUE(match.hasMatch()) << "no result in the page:\n"
                                  << run.Output.constData() << "\n"
                                  << run.ErrorsTail().constData();
    EXPECT_EQ(match.captured(1).toInt(), PictureSize.width());
    EXPECT_EQ(match.captured(2).toInt(), PictureSize.height());
    const QStringList centre = match.captured(3).split(',');
    ASSERT_EQ(centre.size(), 3) << match.captured(0).toStdString();
    EXPECT_TRUE(IsPictureColour(QColor(centre[0].toInt(), centre[1].toInt(), centre[2].toInt())))
        << "centre pixel " << match.captured(3).toStdString();
}

// The page kamvero-first-run writes, as a newcomer opens it: the newest snapshot decoded and
// swapped in, and the archive ring found by asking for its slots up to the first missing one.
// Nothing answers /live.mjpg here, which must not hold the rest back.
TEST_F(BrowserTest, StarterPageShowsTheNewestSnapshotAndTheArchive) {
    WriteTextFile(Folder.File("site/index.html"), StarterPage());
    for (const char* slot : {"site/camera0001.jpg", "site/camera0002.jpg"})
        ASSERT_TRUE(QFile::copy(Folder.File("site/camera.jpg"), Folder.File(slot)));
    Server.SetActive(true);
    const auto stopServer = qScopeGuard([this] { Server.SetActive(false); });

    const TBrowserRun run = DumpedPage("/");
    ASSERT_TRUE(RanToTheEnd(run));

    const QString page = QString::fromUtf8(run.Output);
    const auto newest = QRegularExpression(R"(<img id="newest"[^>]*>)").match(page);
    ASSERT_TRUE(newest.hasMatch()) << "no newest snapshot in the page:\n"
                                   << run.Output.constData() << "\n"
                                   << run.ErrorsTail().constData();
    EXPECT_TRUE(newest.captured(0).contains(
        QStringLiteral(R"(data-size="%1")").arg(QString::fromStdString(SizeText(PictureSize)))))
        << newest.captured(0).toStdString();
    EXPECT_FALSE(newest.captured(0).contains(QStringLiteral(" hidden")))
        << newest.captured(0).toStdString();

    QStringList links;
    auto found = QRegularExpression(R"re(<a href="([^"]*)")re").globalMatch(page);
    while (found.hasNext())
        links << found.next().captured(1);
    EXPECT_EQ(links, (QStringList{"camera0001.jpg", "camera0002.jpg"}));
}

// A snapshot sent as text/html would be shown as garbled text: no area of its colour at all.
TEST_F(BrowserTest, SnapshotOpenedDirectlyIsShownAsAPicture) {
    Server.SetActive(true);
    const auto stopServer = qScopeGuard([this] { Server.SetActive(false); });

    // Larger than the picture, so the browser shows it unscaled.
    const QString screenshot = Folder.File("screenshot.png");
    const TBrowserRun run = RunChromium(
        BrowserFolder(), {"--window-size=400,300", "--force-device-scale-factor=1",
                          "--hide-scrollbars", "--screenshot=" + screenshot, Url("/camera.jpg")});
    ASSERT_TRUE(RanToTheEnd(run));

    const QImage shot(screenshot);
    ASSERT_FALSE(shot.isNull()) << "no screenshot:\n" << run.ErrorsTail().constData();
    EXPECT_EQ(SizeText(AreaOfPictureColour(shot).size()), SizeText(PictureSize));
}

} // namespace
