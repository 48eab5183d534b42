#include "MainWindow.h"

#include "AppPaths.h"
#include "Application.h"
#include "GraphConfigDialog.h"
#include "Splash.h"
#include "gst/GstPlatform.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QStandardPaths>
#include <QStatusTipEvent>

#include <algorithm>

namespace {

constexpr int MainTimerIntervalMs = 1000;
constexpr int CountdownIntervalMs = 1000;
constexpr int MotionTimerDefaultMs = 1000;

// Nests like the platform's hourglass: every request is paired with one restore.
class TBusyCursor {
  public:
    TBusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
};

} // namespace

TMainWindowEnvironment TMainWindowEnvironment::ForRunningProgram() {
    TMainWindowEnvironment environment;
    environment.ExecutablePath = RunningExecutablePath();
    environment.OpenUrl = [](const QUrl& url) {
        QDesktopServices::openUrl(url);
    };
    environment.CapturePlatform = [] {
        return CreateGstPlatform();
    };
    return environment;
}

TfrmMain::TfrmMain(TMainWindowEnvironment environment, QWidget* parent)
    : QWidget(parent), Environment(std::move(environment)) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Kamvero"));
    QFont windowFont = font();
    windowFont.setPointSize(8);
    setFont(windowFont);
    resize(WindowWidth, WindowHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    CreateControls();
    CreateTimers();
    ConnectHandlers();
    CreateNetComponents();
    CreateWebComponents();
    FormCreate();
}

// The bitmaps, the capture configuration and the controls go with the members and children.
// The web server goes first: its connection threads post to this window.
TfrmMain::~TfrmMain() {
    HTTPServer.SetActive(false);
    Web->Status.Detach();
    Web->Errors.Detach();
}

void TfrmMain::FormCreate() {
    ErrorLog = TErrorLog();
    SettingsFileName = SettingsFileNameOf(Environment.ExecutablePath);
    lblSens->setText(QString::number(Sensitivity1->value()));
    NewSnapshot = false;
    Capturing = false;
    TakeReference = false;
    LastDiff = 0;
    // Empty until the first frame sizes them; their depth is WorkingDepth until then.
    RefBitmap = QImage();
    CurBitmap = QImage();
    CaptureConfig.SetDefaults();
    AppPath = AppPathOf(Environment.ExecutablePath);
    SettingsFolder = SettingsFolderOf(
        AppPath, QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    // The capture file is written too, so it goes where the settings go.
    cap1->FileFolder = SettingsFolder;
    LoadSettings();
    ArchiveMax = spnArchive->value();
}

void TfrmMain::FormShow() {
    RasMonitor.SetEnabled(true);
    lblIP->setText(CurrentIPAddress());
    if (Splash != nullptr)
        Splash->Timer->start();
    Timer->start();
    if (!CaptureAvailable())
        ShowMessage(QStringLiteral("Can't init 1st capture!"));
}

void TfrmMain::FormClose() {
    SettingsFileName = SettingsFileNameOf(Environment.ExecutablePath);
    StopCapturing();
    cap1->SaveConfig(&CaptureConfig);
    SaveSettings();
    cap1->StopPreview();
    cap1->StopCapture();
    ErrorLogTimer->stop();
    ErrorLog.Release(ErrorLogPath());
}

bool TfrmMain::event(QEvent* event) {
    // The hint of the control under the mouse goes to the first status panel.
    if (event->type() == QEvent::StatusTip) {
        StatusBar->SetPanelText(0, static_cast<QStatusTipEvent*>(event)->tip());
        return true;
    }
    return QWidget::event(event);
}

void TfrmMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (Shown)
        return;
    Shown = true;
    // Run after the window is on screen, so a message box of FormShow appears over it.
    QMetaObject::invokeMethod(
        this, [this] { RunHandler([this] { FormShow(); }); }, Qt::QueuedConnection);
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    // A pass waiting on the network is below us on the stack: end its wait, let it unwind,
    // and close once it has ended.
    if (FTPPassRunning) {
        CloseAfterPass = true;
        NetFTP.Abort();
        event->ignore();
        return;
    }
    bool closed = false;
    RunHandler([&] {
        FormClose();
        closed = true;
    });
    // A settings file that cannot be written keeps the window open, so nothing is lost.
    if (closed)
        event->accept();
    else
        event->ignore();
}

void TfrmMain::TimerTimer() {
    Timer->stop();
    const TBusyCursor busy;
    cap1->LoadConfig(&CaptureConfig);
}

void TfrmMain::btnStartClick() {
    Capturing = true;
    SetTaggedEnabled(this, 1, false);
    ArchiveIndex = -1;
    PassCredentialsToFTPClient();
    btnStart->setEnabled(false);
    btnStop->setEnabled(true);
    FTPTimer->setInterval(static_cast<int>(Interval->value() * 60000.0));
    FTPTimer->start();
    RestartCountdown();
    FTPTimerTimer();
    // A second try right away; its failure is for the user to see, not for the log.
    if (chkFTP->isChecked() && NewSnapshot)
        FTPUpload();
}

void TfrmMain::btnStopClick() {
    StopCapturing();
}

void TfrmMain::StopCapturing() {
    Capturing = false;
    SetTaggedEnabled(this, 1, true);
    btnStart->setEnabled(true);
    btnStop->setEnabled(false);
    FTPTimer->stop();
    CountdownTimer->stop();
    StatusBar->SetPanelText(0, QString());
}

void TfrmMain::RestartCountdown() {
    CountdownTimer->stop();
    CountdownSecs = static_cast<std::int32_t>(Interval->value() * 60.0);
    CountdownTimer->start(CountdownIntervalMs);
}

void TfrmMain::CountdownTimerTimer() {
    --CountdownSecs;
    StatusBar->SetPanelText(0, QStringLiteral("Next FTP: %1 sec").arg(CountdownSecs));
}

QString TfrmMain::ErrorLogPath() const {
    return SettingsFolder + QStringLiteral("errors.txt");
}

void TfrmMain::LogError(const QString& message) {
    ErrorLog.Append(ErrorLogPath(), message, Environment.Clock());
    ArmErrorLogTimer();
}

void TfrmMain::ErrorLogTimerTimer() {
    ErrorLog.EndRepeats(ErrorLogPath(), Environment.Clock());
    ArmErrorLogTimer();
}

void TfrmMain::ArmErrorLogTimer() {
    const QDateTime end = ErrorLog.RepeatsEnd();
    if (!end.isValid()) {
        ErrorLogTimer->stop();
        return;
    }
    // Once armed it runs to the end of the minute; further repeats do not push it back.
    if (!ErrorLogTimer->isActive()) {
        const qint64 untilEndMs = Environment.Clock().msecsTo(end);
        ErrorLogTimer->start(static_cast<int>(
            std::clamp<qint64>(untilEndMs, 0, TErrorLog::RepeatWindowSecs * 1000)));
    }
}

void TfrmMain::btnHelpClick() {
    const QString compiledHelp = AppPath + QStringLiteral("Help/Kamvera.chm");
    const QString htmlGuide = AppPath + QStringLiteral("Help/index.html");
    const QString help = QFileInfo::exists(compiledHelp) ? compiledHelp : htmlGuide;
    // A missing guide shows nothing from our side, as the shell's "open" would.
    if (QFileInfo::exists(help) && Environment.OpenUrl)
        Environment.OpenUrl(QUrl::fromLocalFile(help));
}

bool TfrmMain::CaptureAvailable() {
    return cap1->InitGraph();
}

void TfrmMain::CreateTimers() {
    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setInterval(MainTimerIntervalMs);

    MotionTimer = new QTimer(this);
    MotionTimer->setObjectName(QStringLiteral("MotionTimer"));
    MotionTimer->setInterval(MotionTimerDefaultMs);
    MotionTimer->start();

    CountdownTimer = new QTimer(this);
    CountdownTimer->setObjectName(QStringLiteral("CountdownTimer"));
    CountdownTimer->setInterval(CountdownIntervalMs);

    FTPTimer = new QTimer(this);
    FTPTimer->setObjectName(QStringLiteral("FTPTimer"));

    ErrorLogTimer = new QTimer(this);
    ErrorLogTimer->setObjectName(QStringLiteral("ErrorLogTimer"));
    ErrorLogTimer->setSingleShot(true);
}

namespace {

// Every handler runs under the default error report, so an exception never crosses Qt.
template <typename Sender, typename Signal>
void Wire(Sender* sender, Signal signal, TfrmMain* window, void (TfrmMain::*handler)()) {
    QObject::connect(sender, signal, window,
                     [window, handler] { RunHandler([&] { (window->*handler)(); }); });
}

} // namespace

void TfrmMain::ConnectHandlers() {
    Wire(Timer, &QTimer::timeout, this, &TfrmMain::TimerTimer);
    Wire(MotionTimer, &QTimer::timeout, this, &TfrmMain::MotionTimerTimer);
    Wire(CountdownTimer, &QTimer::timeout, this, &TfrmMain::CountdownTimerTimer);
    Wire(FTPTimer, &QTimer::timeout, this, &TfrmMain::FTPTimerTimer);
    Wire(ErrorLogTimer, &QTimer::timeout, this, &TfrmMain::ErrorLogTimerTimer);

    Wire(btnStart, &QPushButton::clicked, this, &TfrmMain::btnStartClick);
    Wire(btnStop, &QPushButton::clicked, this, &TfrmMain::btnStopClick);
    Wire(btnConfigure1, &QPushButton::clicked, this, &TfrmMain::btnConfigure1Click);
    Wire(btnVideoFilter1, &QPushButton::clicked, this, &TfrmMain::btnVideoFilter1Click);
    Wire(btnHelp, &QPushButton::clicked, this, &TfrmMain::btnHelpClick);

    Wire(Sensitivity1, &QSlider::valueChanged, this, &TfrmMain::Sensitivity1Change);
    Wire(spnSense, &QDoubleSpinBox::valueChanged, this, &TfrmMain::spnSenseChange);
    Wire(cbPixelFormat, &QComboBox::currentIndexChanged, this, &TfrmMain::cbPixelFormatChange);
    Wire(LeftTrack, &QSlider::valueChanged, this, &TfrmMain::LeftTrackChange);
    Wire(TopTrack, &QSlider::valueChanged, this, &TfrmMain::TopTrackChange);
    Wire(RightTrack, &QSlider::valueChanged, this, &TfrmMain::RightTrackChange);
    Wire(BottomTrack, &QSlider::valueChanged, this, &TfrmMain::BottomTrackChange);
    Wire(chkShowGrid, &QCheckBox::toggled, this, &TfrmMain::chkShowGridClick);

    Wire(spnArchive, &QSpinBox::valueChanged, this, &TfrmMain::spnArchiveChange);
    Wire(edtFilename1, &QLineEdit::textChanged, this, &TfrmMain::edtFilename1Change);
    Wire(chkTS1, &QCheckBox::toggled, this, &TfrmMain::chkTS1Click);
    edtLocalDirectory1->OnExit = [this] {
        RunHandler([this] { edtLocalDirectory1Exit(edtLocalDirectory1); });
    };
    edtLocalDirectory1->OnAfterDialog = [this](QString& name) {
        RunHandler([&] { edtLocalDirectory1AfterDialog(name); });
    };

    Wire(chkFTP, &QCheckBox::toggled, this, &TfrmMain::chkFTPClick);
    Wire(spnThumbs, &QSpinBox::valueChanged, this, &TfrmMain::spnThumbsChange);

    Wire(chkWWW, &QCheckBox::toggled, this, &TfrmMain::chkWWWClick);
    edtWWWPath->OnExit = [this] {
        RunHandler([this] { edtLocalDirectory1Exit(edtWWWPath); });
    };
    edtWWWPath->OnAfterDialog = [this](QString& name) {
        RunHandler([&] { edtWWWPathAfterDialog(name); });
    };

    cap1->OnBitmapGrabbed = [this](const TCapturedBitmap& bitmap) {
        cap1BitmapGrabbed(bitmap);
    };
    cap1->OnChangeDevice = [this](TVideoCapture*) {
        RunHandler([this] { cap1ChangeDevice(); });
    };
    cap1->OnStartPreview = [this](TVideoCapture*) {
        RunHandler([this] { cap1StartPreview(); });
    };
    // Only the user's choice sets a mode; filling the list must not.
    Wire(cbVModes1, &QComboBox::activated, this, &TfrmMain::cbVModes1Change);
    Wire(lbDialogs1, &QListWidget::itemDoubleClicked, this, &TfrmMain::lbDialogs1DblClick);
}

void TfrmMain::btnConfigure1Click() {
    cap1->SaveConfig(&CaptureConfig);
    if (EditGraphConfig(*CapturePlatform, CaptureConfig, this)) {
        const TBusyCursor busy;
        cap1->LoadConfig(&CaptureConfig);
    }
}
