// The web server from the window: its switch, port field and folder, and what a browser sees.
#include "HttpRawClient.h"
#include "TestSupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace {

class WebWindowTest : public testing::Test {
  protected:
    void SetUp() override {
        ShownMessages().clear();
        ASSERT_TRUE(QDir(Folder.QPath()).mkpath("snaps"));
        WriteTextFile(Folder.File("snaps/camera.jpg"), "picture");
        w->edtLocalDirectory1->setText(Folder.QPath() + "/snaps/");
    }

    void SwitchOn(int port) {
        w->edtPort->setText(QString::number(port));
        w->chkWWW->click();
    }

    TTempDir Folder;
    TWindowUnderTest w{Folder};
};

TEST_F(WebWindowTest, SwitchingOnServesTheSnapshotFolderAndLocksItsFields) {
    TListeningSocket port;
    port.Release();
    SwitchOn(port.Port());
    EXPECT_TRUE(ShownMessages().isEmpty()) << ShownMessages().join('|').toStdString();
    EXPECT_EQ(w->lblActiveWWW->text(), "Yes");
    EXPECT_FALSE(w->edtPort->isEnabled());
    EXPECT_FALSE(w->edtWWWPath->isEnabled());

    QStringList statuses;
    QObject::connect(w->StatusBar, &TStatusBar::PanelTextChanged,
                     [&](int panel, const QString& text) {
                         if (panel == 1)
                             statuses << text;
                     });
    const QByteArray answer = Exchange(port.Port(), "GET /camera.jpg HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200 OK\r\n")) << answer.constData();
    EXPECT_TRUE(answer.contains("\r\nServer: Kamvera\r\n"));
    EXPECT_TRUE(answer.contains("\r\nContent-Type: image/jpeg\r\n"));
    EXPECT_TRUE(answer.endsWith("\r\n\r\npicture"));
    // The texts reach the GUI thread through its event queue, in order.
    ASSERT_TRUE(QTest::qWaitFor([&] { return statuses.size() == 3; }, 3000));
    EXPECT_EQ(statuses, QStringList({"GET", "Sending camera.jpg 7 bytes", ""}));

    w->chkWWW->click();
    EXPECT_EQ(w->lblActiveWWW->text(), "No");
    EXPECT_TRUE(w->edtPort->isEnabled());
    EXPECT_TRUE(Exchange(port.Port(), "GET /camera.jpg HTTP/1.0\r\n\r\n").isEmpty());
}

TEST_F(WebWindowTest, ANewPortTakesEffectAtTheNextSwitchOn) {
    TListeningSocket first, second;
    first.Release();
    second.Release();
    SwitchOn(first.Port());
    w->chkWWW->click();
    SwitchOn(second.Port());
    EXPECT_TRUE(Exchange(second.Port(), "HEAD /camera.jpg HTTP/1.0\r\n\r\n").contains("200 OK"));
    EXPECT_TRUE(Exchange(first.Port(), "HEAD /camera.jpg HTTP/1.0\r\n\r\n").isEmpty());
}

TEST_F(WebWindowTest, RefusedSwitchOnIsShownAndLeavesTheServerOff) {
    const TListeningSocket taken;
    SwitchOn(taken.Port());
    EXPECT_EQ(ShownMessages(),
              QStringList({"Could not bind socket. Address and port are already in use."}));
    EXPECT_EQ(w->lblActiveWWW->text(), "No");
    EXPECT_TRUE(w->chkWWW->isChecked());
    EXPECT_FALSE(w->edtPort->isEnabled());

    ShownMessages().clear();
    w->chkWWW->click();
    w->edtPort->setText("");
    w->chkWWW->click();
    EXPECT_EQ(ShownMessages(), QStringList({"'' is not a valid integer value"}));
    EXPECT_EQ(w->lblActiveWWW->text(), "No");
}

TEST_F(WebWindowTest, StoredSwitchStartsTheServerAtStartUp) {
    TListeningSocket port;
    port.Release();
    w->edtPort->setText(QString::number(port.Port()));
    w->chkWWW->setChecked(true);
    ASSERT_TRUE(w->close());
    w.Restart();
    EXPECT_EQ(w->lblActiveWWW->text(), "Yes");
    // The folder loaded from the settings is the one served.
    EXPECT_TRUE(Exchange(port.Port(), "GET /camera.jpg HTTP/1.0\r\n\r\n").endsWith("picture"));

    // With no folder chosen, nothing is served.
    w->edtLocalDirectory1->setText("");
    EXPECT_TRUE(
        Exchange(port.Port(), "HEAD /camera.jpg HTTP/1.0\r\n\r\n").startsWith("HTTP/1.1 404"));
}

TEST_F(WebWindowTest, PortFieldTakesDigitsOnly) {
    w->edtPort->clear();
    QTest::keyClicks(w->edtPort, "8a0b");
    EXPECT_EQ(w->edtPort->text(), "80");
    QTest::keyClick(w->edtPort, Qt::Key_Backspace);
    EXPECT_EQ(w->edtPort->text(), "80");
    w->edtPort->setCursorPosition(0);
    QTest::keyClick(w->edtPort, Qt::Key_Delete);
    EXPECT_EQ(w->edtPort->text(), "0");

    QString name = "/srv/www";
    w->edtWWWPathAfterDialog(name);
    EXPECT_EQ(name, "/srv/www/");
}

TEST_F(WebWindowTest, ThePasswordFieldGuardsTheServerAndWrongGuessesAreLoggedOnce) {
    w->edtWWWPassword->setText("sesam");
    TListeningSocket port;
    port.Release();
    SwitchOn(port.Port());
    EXPECT_FALSE(w->edtWWWPassword->isEnabled());

    const auto get = [&](const QByteArray& credentials) {
        const QByteArray authorization =
            credentials.isEmpty() ? "" : "Authorization: Basic " + credentials.toBase64() + "\r\n";
        return Exchange(port.Port(), "GET /camera.jpg HTTP/1.0\r\n" + authorization + "\r\n");
    };
    const QByteArray challenge = get("");
    EXPECT_TRUE(challenge.startsWith("HTTP/1.1 401 Unauthorized\r\n")) << challenge.constData();
    EXPECT_TRUE(challenge.contains("\r\nWWW-Authenticate: Basic realm=\"Kamvero\"\r\n"));
    for (int guess = 0; guess < 3; ++guess)
        EXPECT_TRUE(get("me:open").startsWith("HTTP/1.1 401"));
    EXPECT_TRUE(get("me:sesam").endsWith("\r\n\r\npicture"));

    const auto logged = [&] {
        return QString::fromUtf8(ReadTextFile(Folder.File("errors.txt")));
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return logged().contains("wrong password"); }, 3000));
    QTest::qWait(100);
    EXPECT_EQ(logged().count("wrong password"), 1) << logged().toStdString();
}

} // namespace
