#pragma once

#include "Controls.h"
#include "ErrorLog.h"
#include "FrameKernels.h"
#include "GraphConfig.h"
#include "NetAntiFreeze.h"
#include "NetFTP.h"
#include "NetHTTPServer.h"
#include "NetMimeTable.h"
#include "RasMonitor.h"
#include "VideoCapture.h"
#include "WebRequestHandler.h"
#include "XorCipher.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDoubleSpinBox>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class TfrmSplash;
class TIniFile;

// What the main window takes from the world around it, so tests can place it elsewhere.
struct TMainWindowEnvironment {
    // The executable's full path: AppPath and the settings file name are derived from it.
    QString ExecutablePath;
    // The shell's "open": shows the help in its viewer.
    std::function<void(const QUrl&)> OpenUrl;
    // The capture framework the camera is reached through.
    std::function<std::shared_ptr<ICapturePlatform>()> CapturePlatform;
    // The time stamped on snapshots and written to the error log.
    std::function<QDateTime()> Clock = [] {
        return QDateTime::currentDateTime();
    };

    static TMainWindowEnvironment ForRunningProgram();
};

// The main window: it owns every control, and the controls are the only copy of the settings
// once they are loaded. Its handlers are split by feature over the MainWindow*.cpp files.
class TfrmMain : public QWidget {
    Q_OBJECT
  public:
    static constexpr int WindowWidth = 443;
    static constexpr int WindowHeight = 528;

    explicit TfrmMain(TMainWindowEnvironment environment, QWidget* parent = nullptr);
    ~TfrmMain() override;

    void SetSplash(TfrmSplash* splash) { Splash = splash; }

    // Application controller.
    void FormShow();
    void FormClose();
    void TimerTimer();
    void CountdownTimerTimer();
    void btnStartClick();
    void btnStopClick();
    void btnHelpClick();
    void RestartCountdown();
    void LogError(const QString& message);
    void ErrorLogTimerTimer();
    bool CaptureAvailable();
    QString SettingsFilePath() const { return SettingsFolder + SettingsFileName; }

    // Capture component and its page.
    void btnConfigure1Click();
    void btnVideoFilter1Click();

    // Frame processing: motion detector, snapshot writer and their settings.
    void cap1BitmapGrabbed(const TCapturedBitmap& CapturedImage);
    void cap1ChangeDevice();
    void cap1StartPreview();
    void cbVModes1Change();
    void lbDialogs1DblClick();
    bool DetectMotion(const TCapturedBitmap& CapturedImage);
    void RotateArchive(const QString& base);
    QImage StampSnapshot(const TCapturedBitmap& frame, const QString& base);
    void WriteSnapshot(const TCapturedBitmap& frame, const QString& base);
    void MotionTimerTimer();
    void spnSenseChange();
    void Sensitivity1Change();
    void cbPixelFormatChange();
    void LeftTrackChange();
    void TopTrackChange();
    void RightTrackChange();
    void BottomTrackChange();
    void chkShowGridClick();
    void spnArchiveChange();
    void edtFilename1Change();
    void chkTS1Click();
    void edtLocalDirectory1Exit(TDirectoryEdit* Sender);
    void edtLocalDirectory1AfterDialog(QString& Name);

    // FTP publishing.
    void FTPTimerTimer();
    void FTPUpload();
    void NetFTPStatus(TNetComponent& axSender, TNetStatus axStatus, const QString& asStatusText);
    void NetFTPWorkEnd(TNetComponent& Sender, TWorkMode AWorkMode);
    void chkFTPClick();
    void spnThumbsChange();
    // The client and the GUI servicing during its waits; tests point NetFTP's Port elsewhere.
    TNetFTP NetFTP;
    std::unique_ptr<TNetAntiFreeze> NetAntiFreeze1;
    // The FTP password as stored in the settings file.
    TXorCipher Cipher{87};

    // Web server.
    void chkWWWClick();
    void edtWWWPathAfterDialog(QString& Name);
    // Swallows every typed character but a digit; true when it was swallowed.
    bool edtPortKeyPress(QChar Key);
    QString CurrentIPAddress() const;
    // What the connection threads share with the window. Shared, so that a handler the server
    // had to let go of at close still finds it; the status relay is detached by then.
    struct TWebShared {
        TWebShared(std::function<void(const QString&)> showStatus,
                   std::function<void(const QString&)> logError)
            : Status(std::move(showStatus)), Errors(std::move(logError)) {}
        TWebDocumentRoot Root; // a copy of the local folder field, under its lock
        TNetMimeTable MimeTable;
        TWebStatusRelay Status; // to status panel 1 through the GUI thread's event queue
        TWebStatusRelay Errors; // handler failures to errors.txt, the same way
        TWebPassword Password;  // a copy of the password field, under its lock
        mutable TWebRefusals Refusals;
        // The camera's live pictures, answered while the Live View box is ticked.
        std::shared_ptr<TLiveFeed> Live = std::make_shared<TLiveFeed>();
        std::atomic<bool> LiveOn{false};
    };
    // Runs on the connection's thread; touches no widget.
    static void HTTPServerCommandGet(const TWebShared& Web, TNetPeerThread& AThread,
                                     TNetHTTPRequestInfo& ARequestInfo,
                                     TNetHTTPResponseInfo& AResponseInfo);
    QString MimeTypeForFile(const QString& FileName) const;
    TNetHTTPServer HTTPServer;
    std::shared_ptr<TWebShared> Web;
    TRasMonitor RasMonitor;

    // Button bar.
    QFrame* pnlButtons = nullptr;
    QPushButton* btnStart = nullptr;
    QPushButton* btnStop = nullptr;
    QPushButton* btnConfigure1 = nullptr;
    QPushButton* btnVideoFilter1 = nullptr;
    QPushButton* btnHelp = nullptr;

    // Pages and status bar.
    QWidget* pnlPages = nullptr;
    QTabWidget* Pages = nullptr;
    TStatusBar* StatusBar = nullptr;

    // Page "Images".
    QFrame* pnlImageBG1 = nullptr;
    TVideoCapture* cap1 = nullptr;
    QFrame* LeftLine = nullptr;
    QFrame* TopLine = nullptr;
    QFrame* RightLine = nullptr;
    QFrame* BottomLine = nullptr;
    QSlider* RightTrack = nullptr;
    QSlider* LeftTrack = nullptr;
    QSlider* TopTrack = nullptr;
    QSlider* BottomTrack = nullptr;
    QLabel* lblSens1 = nullptr;
    QSlider* Sensitivity1 = nullptr;
    QLabel* lblSens = nullptr;
    QCheckBox* chkUseGrid = nullptr;
    QCheckBox* chkShowGrid = nullptr;
    QLabel* SnapShot1 = nullptr;
    QLabel* lblImageFilename1 = nullptr;
    QLabel* lblUseTimestamp1 = nullptr;
    QLabel* lblActiveFTP = nullptr;
    QLabel* lblActiveWWW = nullptr;
    QLabel* lblLocalQTY = nullptr;
    QLabel* lblFTPQTY = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Image2 = nullptr;
    QLabel* Label10 = nullptr;
    QLabel* Label11 = nullptr;
    QLabel* Label12 = nullptr;
    QLabel* Label13 = nullptr;
    QLabel* Label14 = nullptr;
    QLabel* Label15 = nullptr;

    // Page "Settings".
    QLineEdit* edtFilename1 = nullptr;
    TDirectoryEdit* edtLocalDirectory1 = nullptr;
    QCheckBox* chkTS1 = nullptr;
    QSpinBox* spnArchive = nullptr;
    QDoubleSpinBox* spnSense = nullptr;
    QComboBox* cbPixelFormat = nullptr;
    QDoubleSpinBox* Interval = nullptr;
    QCheckBox* chkFTP = nullptr;
    QCheckBox* chkPassive = nullptr;
    QSpinBox* spnLag = nullptr;
    QLineEdit* edtHost = nullptr;
    QSpinBox* spnThumbs = nullptr;
    QLineEdit* edtFTPDirectory = nullptr;
    QLineEdit* edtLogin = nullptr;
    QLineEdit* edtPassword = nullptr;
    QLineEdit* edtWWWPassword = nullptr;
    QCheckBox* chkWWW = nullptr;
    QCheckBox* chkLive = nullptr;
    TDirectoryEdit* edtWWWPath = nullptr;
    QLineEdit* edtPort = nullptr;
    QLabel* lblIP = nullptr;

    // Page "Video Adjust".
    QListWidget* lbDialogs1 = nullptr;
    QComboBox* cbVModes1 = nullptr;
    QComboBox* cbAModes1 = nullptr;

    // Timers.
    QTimer* Timer = nullptr;
    QTimer* MotionTimer = nullptr;
    QTimer* CountdownTimer = nullptr;
    QTimer* FTPTimer = nullptr;
    // Writes the count of an error repeated within a minute once that minute is over.
    QTimer* ErrorLogTimer = nullptr;

    // Run-time state shared between the features.
    QString AppPath;
    // Where the settings file, errors.txt and the capture file go: AppPath, or the user's
    // configuration folder when AppPath cannot be written.
    QString SettingsFolder;
    TGraphConfig CaptureConfig;
    bool Capturing = false;
    bool FTPBusy = false;
    bool NewSnapshot = false;
    // A publishing pass is on the stack; the anti-freeze may run handlers in its middle.
    bool FTPPassRunning = false;
    // The window was asked to close during a pass and closes once the pass has ended.
    bool CloseAfterPass = false;
    std::int32_t CountdownSecs = 0;
    std::int32_t ArchiveMax = 0;
    std::int32_t ArchiveIndex = 0;
    std::int32_t FrameWidth = 0;
    std::int32_t FrameHeight = 0;
    bool TakeReference = false;
    QImage RefBitmap;
    QImage CurBitmap;
    TDetectDepth WorkingDepth = TDetectDepth::Colors16M;
    double Threshold = 0.0;
    std::int64_t LastDiff = 0;
    std::int64_t CurDiff = 0;

  protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void FormCreate();
    void CreateControls();
    void CreateButtonBar();
    QWidget* CreateImagesPage();
    QWidget* CreateSettingsPage();
    QWidget* CreateVideoAdjustPage();
    void CreateTimers();
    void ConnectHandlers();

    void LoadSettings();
    void LoadFTPHostSection(const TIniFile& ini);
    void LoadWWWHostSection(const TIniFile& ini);
    void LoadCameraSection(const TIniFile& ini);
    void SaveSettings();

    void StopCapturing();
    QString ErrorLogPath() const;
    void ArmErrorLogTimer();
    void PassCredentialsToFTPClient();
    void CreateNetComponents();
    void CreateWebComponents();
    void CloseIfAskedDuringPass();
    void SetWebServerActive(bool active, int port);
    void MoveGuideLine(QFrame* line, Qt::Orientation axis, int position) const;
    void UpdateFrameSize(const TCapturedBitmap& frame);
    QRect DetectionRectangle(const TCapturedBitmap& frame) const;
    void ShowDetection(bool motion, const TCapturedBitmap& frame);

    TMainWindowEnvironment Environment;
    // The camera's platform, also asked for the device lists of Camera Setup.
    std::shared_ptr<ICapturePlatform> CapturePlatform;
    QString SettingsFileName;
    TErrorLog ErrorLog;
    TfrmSplash* Splash = nullptr;
    bool Shown = false;
};

// The password's text as the cipher's bytes: UTF-8, like the other settings texts. Stored bytes
// that are not UTF-8 were written by an earlier version as Latin-1 and are read so.
QString PasswordFromBytes(const std::string& bytes);
std::string PasswordToBytes(const QString& password);
