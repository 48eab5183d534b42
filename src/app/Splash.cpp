#include "Splash.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

namespace {
constexpr int BevelWidth = 3;
constexpr int NameX = 116;
constexpr int NameY = 40;
constexpr int NamePixelSize = 24;
} // namespace

TfrmSplash::TfrmSplash(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setObjectName(QStringLiteral("frmSplash"));
    setFixedSize(ClientWidth, ClientHeight);

    pnlSplash = new QFrame(this);
    pnlSplash->setObjectName(QStringLiteral("pnlSplash"));
    pnlSplash->setFrameStyle(QFrame::Panel | QFrame::Raised);
    pnlSplash->setLineWidth(BevelWidth);
    pnlSplash->setGeometry(rect());

    imgSplash = new QLabel(pnlSplash);
    imgSplash->setObjectName(QStringLiteral("imgSplash"));
    imgSplash->setPixmap(QPixmap(QStringLiteral(":/kamvero/splash.jpg")));
    imgSplash->setScaledContents(true);
    imgSplash->setGeometry(pnlSplash->contentsRect());
    imgSplash->installEventFilter(this);

    lblSplash = new QLabel(QStringLiteral("Kamvero"), pnlSplash);
    lblSplash->setObjectName(QStringLiteral("lblSplash"));
    QFont font(QStringLiteral("Sans Serif"));
    font.setBold(true);
    font.setPixelSize(NamePixelSize);
    lblSplash->setFont(font);
    lblSplash->setStyleSheet(QStringLiteral("color: #f4f7fb; background: transparent;"));
    lblSplash->adjustSize();
    lblSplash->move(NameX, NameY);
    // Clicks on the name reach the picture beneath it.
    lblSplash->setAttribute(Qt::WA_TransparentForMouseEvents);

    Timer = new QTimer(this);
    Timer->setInterval(TimerIntervalMs);
    connect(Timer, &QTimer::timeout, this, &TfrmSplash::TimerTimer);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TfrmSplash::imgSplashClick() {
    close();
}

void TfrmSplash::TimerTimer() {
    Timer->stop();
    close();
}

bool TfrmSplash::eventFilter(QObject* watched, QEvent* event) {
    if (watched == imgSplash && event->type() == QEvent::MouseButtonRelease) {
        imgSplashClick();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
