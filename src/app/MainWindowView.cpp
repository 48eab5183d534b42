// The view: every control of the main window with its caption, hint, range, default and Tag.
#include "MainWindow.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace {

constexpr int ButtonBarHeight = 41;
constexpr int ButtonWidth = 45;
constexpr int ButtonHeight = 37;
constexpr int PreviewWidth = 320;
constexpr int PreviewHeight = 240;

template <typename Control> Control* Named(Control* control, const char* name) {
    control->setObjectName(QLatin1String(name));
    return control;
}

// The hint shows in the status bar; only some controls show it as a tooltip as well.
enum class Tooltip { No, Yes };

void SetHint(QWidget* control, const QString& hint, Tooltip tooltip = Tooltip::No) {
    control->setStatusTip(hint);
    if (tooltip == Tooltip::Yes)
        control->setToolTip(hint);
}

QPushButton* MakeBarButton(QWidget* bar, const char* name, const QString& caption) {
    auto* button = Named(new QPushButton(bar), name);
    button->setFlat(true);
    button->setFixedSize(ButtonWidth, ButtonHeight);
    // Captions wrap inside the small square buttons.
    auto* label = new QLabel(caption, button);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignCenter);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    label->setGeometry(1, 1, ButtonWidth - 2, ButtonHeight - 2);
    button->setAccessibleName(caption.trimmed());
    return button;
}

QSlider* MakeTrack(QWidget* page, const char* name, Qt::Orientation orientation, int maximum,
                   int position) {
    auto* track = Named(new QSlider(orientation, page), name);
    track->setRange(0, maximum);
    track->setValue(position);
    // Vertical track bars count from the top, like the picture they frame.
    if (orientation == Qt::Vertical)
        track->setInvertedAppearance(true);
    track->hide();
    return track;
}

QFrame* MakeGuideLine(QWidget* panel, const char* name, int x, int y, int width, int height) {
    auto* line = Named(new QFrame(panel), name);
    line->setGeometry(x, y, width, height);
    line->setAutoFillBackground(true);
    QPalette yellow = line->palette();
    yellow.setColor(QPalette::Window, QColor(0xff, 0xd8, 0x00));
    line->setPalette(yellow);
    line->hide();
    return line;
}

QLabel* MakeLabel(QWidget* page, const char* name, const QString& text, int x, int y) {
    auto* label = Named(new QLabel(text, page), name);
    label->adjustSize();
    label->move(x, y);
    return label;
}

QLabel* MakeStretchedImage(QWidget* page, const char* name, int x, int y) {
    auto* image = Named(new QLabel(page), name);
    image->setGeometry(x, y, 160, 120);
    image->setScaledContents(true);
    return image;
}

// One captioned setting of the Settings page: the caption sits above its control.
class TSettingsColumn {
  public:
    explicit TSettingsColumn(QWidget* page) : Page(page), Layout(new QVBoxLayout) {
        Layout->setSpacing(1);
    }
    QVBoxLayout* layout() const { return Layout; }

    template <typename Control>
    Control* Add(Control* control, const QString& caption, const QString& hint, int tag,
                 Tooltip tooltip = Tooltip::No) {
        auto* label = new QLabel(caption, Page);
        label->setBuddy(control);
        Layout->addWidget(label);
        Layout->addWidget(control);
        Layout->addSpacing(4);
        if (!hint.isEmpty())
            SetHint(control, hint, tooltip);
        SetTag(control, tag);
        LastCaption = label;
        return control;
    }

    QCheckBox* AddCheck(QCheckBox* check, const QString& hint, int tag) {
        Layout->addWidget(check);
        Layout->addSpacing(4);
        if (!hint.isEmpty())
            SetHint(check, hint);
        SetTag(check, tag);
        return check;
    }

    QLabel* LastCaption = nullptr;

  private:
    QWidget* Page;
    QVBoxLayout* Layout;
};

QSpinBox* MakeIntSpin(QWidget* page, const char* name, int minimum, int maximum, int value) {
    auto* spin = Named(new QSpinBox(page), name);
    spin->setRange(minimum, maximum);
    spin->setValue(value);
    return spin;
}

QDoubleSpinBox* MakeDecimalSpin(QWidget* page, const char* name, double minimum, double maximum,
                                double step, double value) {
    auto* spin = Named(new QDoubleSpinBox(page), name);
    spin->setDecimals(1);
    spin->setRange(minimum, maximum);
    spin->setSingleStep(step);
    spin->setValue(value);
    return spin;
}

} // namespace

void TfrmMain::CreateControls() {
    CreateButtonBar();

    pnlPages = Named(new QWidget(this), "pnlPages");
    Pages = Named(new QTabWidget(pnlPages), "Pages");
    Pages->setDocumentMode(true);
    Pages->addTab(CreateImagesPage(), QStringLiteral("Images"));
    Pages->addTab(CreateSettingsPage(), QStringLiteral("Settings"));
    Pages->addTab(CreateVideoAdjustPage(), QStringLiteral("Video Adjust"));
    Pages->setCurrentIndex(0);
    StatusBar = Named(new TStatusBar(pnlPages), "StatusBar");

    auto* pagesLayout = new QVBoxLayout(pnlPages);
    pagesLayout->setContentsMargins(0, 0, 0, 0);
    pagesLayout->setSpacing(0);
    pagesLayout->addWidget(Pages, 1);
    pagesLayout->addWidget(StatusBar);

    auto* windowLayout = new QVBoxLayout(this);
    windowLayout->setContentsMargins(0, 0, 0, 0);
    windowLayout->setSpacing(0);
    windowLayout->addWidget(pnlButtons);
    windowLayout->addWidget(pnlPages, 1);
}

void TfrmMain::CreateButtonBar() {
    pnlButtons = Named(new QFrame(this), "pnlButtons");
    pnlButtons->setFixedHeight(ButtonBarHeight);
    pnlButtons->setFrameStyle(QFrame::Panel | QFrame::Raised);

    btnStart = MakeBarButton(pnlButtons, "btnStart", QStringLiteral(" Start Capture"));
    btnStop = MakeBarButton(pnlButtons, "btnStop", QStringLiteral("Stop Capture"));
    btnConfigure1 = MakeBarButton(pnlButtons, "btnConfigure1", QStringLiteral("Camera Setup"));
    SetHint(btnConfigure1, QStringLiteral("Press to Configure the Camera"));
    btnVideoFilter1 = MakeBarButton(pnlButtons, "btnVideoFilter1", QStringLiteral("Adjust Video"));
    btnHelp = MakeBarButton(pnlButtons, "btnHelp", QStringLiteral("Help"));

    auto* layout = new QHBoxLayout(pnlButtons);
    layout->setContentsMargins(2, 1, 2, 1);
    layout->setSpacing(0);
    for (QPushButton* button : {btnStart, btnStop, btnConfigure1, btnVideoFilter1, btnHelp})
        layout->addWidget(button);
    layout->addStretch(1);
}

QWidget* TfrmMain::CreateImagesPage() {
    auto* page = Named(new QWidget, "tsImages");

    pnlImageBG1 = Named(new QFrame(page), "pnlImageBG1");
    pnlImageBG1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    pnlImageBG1->setGeometry(16, 16, 324, 244);
    CapturePlatform = Environment.CapturePlatform();
    cap1 = Named(new TVideoCapture(CapturePlatform, pnlImageBG1), "cap1");
    cap1->setGeometry(2, 2, PreviewWidth, PreviewHeight);
    // The window wants 24-bit bitmaps, preview and the (never recording) file branch.
    cap1->SetColor(Qt::blue);
    cap1->WantBitmaps = true;
    cap1->BitmapPixelFormat = TPixelFormat::pf24bit;
    cap1->WantAudio = false;
    cap1->WantDVAudio = false;
    cap1->WantAudioPreview = false;
    cap1->WantPreview = true;
    cap1->WantCapture = true;
    cap1->SetFrameRate(25);
    cap1->CaptureFileName = QStringLiteral("capture.avi");
    cap1->SetTempCaptureFileName(QStringLiteral("captemp.avi"));
    cap1->TimeLimit = 30;
    LeftLine = MakeGuideLine(pnlImageBG1, "LeftLine", 1, 2, 1, PreviewHeight);
    TopLine = MakeGuideLine(pnlImageBG1, "TopLine", 1, 1, PreviewWidth, 1);
    RightLine = MakeGuideLine(pnlImageBG1, "RightLine", 321, 2, 1, PreviewHeight);
    BottomLine = MakeGuideLine(pnlImageBG1, "BottomLine", 1, 241, PreviewWidth, 1);

    RightTrack = MakeTrack(page, "RightTrack", Qt::Horizontal, PreviewWidth - 1, PreviewWidth - 1);
    RightTrack->setGeometry(12, 2, 332, 14);
    LeftTrack = MakeTrack(page, "LeftTrack", Qt::Horizontal, PreviewWidth - 1, 0);
    LeftTrack->setGeometry(10, 260, 332, 18);
    TopTrack = MakeTrack(page, "TopTrack", Qt::Vertical, PreviewHeight - 1, 0);
    TopTrack->setGeometry(3, 10, 14, 253);
    BottomTrack =
        MakeTrack(page, "BottomTrack", Qt::Vertical, PreviewHeight - 1, PreviewHeight - 1);
    BottomTrack->setGeometry(340, 11, 14, 253);

    lblSens1 = MakeLabel(page, "lblSens1", QStringLiteral("Sensitivity"), 368, 0);
    Sensitivity1 = Named(new QSlider(Qt::Vertical, page), "Sensitivity1");
    Sensitivity1->setRange(0, 100);
    Sensitivity1->setValue(20);
    Sensitivity1->setPageStep(10);
    Sensitivity1->setTickInterval(10);
    Sensitivity1->setTickPosition(QSlider::TicksBothSides);
    Sensitivity1->setInvertedAppearance(true);
    Sensitivity1->setGeometry(372, 16, 32, 150);
    SetHint(Sensitivity1, QStringLiteral("Adjust the sensitivity of the motion detector"));
    lblSens = Named(new QLabel(QStringLiteral("20"), page), "lblSens");
    lblSens->setAlignment(Qt::AlignHCenter);
    lblSens->setGeometry(372, 166, 32, 16);

    chkUseGrid = Named(new QCheckBox(QStringLiteral("Use Grid"), page), "chkUseGrid");
    chkUseGrid->move(336, 288);
    chkShowGrid = Named(new QCheckBox(QStringLiteral("Show Grid"), page), "chkShowGrid");
    chkShowGrid->move(336, 308);

    SnapShot1 = MakeStretchedImage(page, "SnapShot1", 4, 281);
    SnapShot1->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    lblImageFilename1 =
        AddCaptionedValue(page, QStringLiteral("Filename:"), QStringLiteral("camera"), 236, 288);
    lblImageFilename1->setObjectName(QStringLiteral("lblImageFilename1"));
    lblImageFilename1->setFixedWidth(96);
    lblUseTimestamp1 =
        AddCaptionedValue(page, QStringLiteral("Timestamp:"), QStringLiteral("Yes"), 244, 304);
    lblUseTimestamp1->setObjectName(QStringLiteral("lblUseTimestamp1"));
    lblActiveFTP =
        AddCaptionedValue(page, QStringLiteral("FTP Active:"), QStringLiteral("No"), 248, 336);
    lblActiveFTP->setObjectName(QStringLiteral("lblActiveFTP"));
    lblActiveWWW =
        AddCaptionedValue(page, QStringLiteral("WWW Active:"), QStringLiteral("No"), 256, 352);
    lblActiveWWW->setObjectName(QStringLiteral("lblActiveWWW"));
    lblLocalQTY = AddCaptionedValue(page, QStringLiteral("Local Archive QTY:"),
                                    QStringLiteral("100"), 276, 368);
    lblLocalQTY->setObjectName(QStringLiteral("lblLocalQTY"));
    lblFTPQTY =
        AddCaptionedValue(page, QStringLiteral("FTP Archive QTY:"), QStringLiteral("10"), 272, 384);
    lblFTPQTY->setObjectName(QStringLiteral("lblFTPQTY"));

    // Diagnostic views of the detector; they lie beyond the page's right edge on purpose.
    Image1 = MakeStretchedImage(page, "Image1", 496, 8);
    Image2 = MakeStretchedImage(page, "Image2", 496, 136);
    Label10 = MakeLabel(page, "Label10", QStringLiteral("L"), 516, 264);
    Label11 = MakeLabel(page, "Label11", QStringLiteral("R"), 516, 280);
    Label12 = MakeLabel(page, "Label12", QStringLiteral("T"), 516, 296);
    Label13 = MakeLabel(page, "Label13", QStringLiteral("B"), 516, 312);
    Label14 = MakeLabel(page, "Label14", QStringLiteral("W"), 516, 328);
    Label15 = MakeLabel(page, "Label15", QStringLiteral("H"), 516, 344);

    // The guide lines lie over the video.
    for (QFrame* line : {LeftLine, TopLine, RightLine, BottomLine})
        line->raise();
    return page;
}

QWidget* TfrmMain::CreateSettingsPage() {
    auto* page = Named(new QWidget, "tsSettings");
    TSettingsColumn left(page);
    TSettingsColumn right(page);

    edtFilename1 =
        left.Add(Named(new QLineEdit(QStringLiteral("camera"), page), "edtFilename1"),
                 QStringLiteral("Filename  (no extension!)"), QStringLiteral("The image name"), 1);
    edtLocalDirectory1 =
        left.Add(Named(new TDirectoryEdit(page), "edtLocalDirectory1"),
                 QStringLiteral("Local Directory"), QStringLiteral("Where to store the images"), 1);
    chkTS1 =
        left.AddCheck(Named(new QCheckBox(QStringLiteral("Include Timestamp"), page), "chkTS1"),
                      QStringLiteral("Include the date and time on the images"), 1);
    chkTS1->setChecked(true);
    spnArchive =
        left.Add(MakeIntSpin(page, "spnArchive", 0, 1000, 100), QStringLiteral("Disk Archive"),
                 QStringLiteral("How many images to keep locally"), 1, Tooltip::Yes);
    spnSense =
        left.Add(MakeDecimalSpin(page, "spnSense", 0.5, 5.0, 0.1, 1.0), QStringLiteral("Sense"),
                 QStringLiteral("Compare Interval (seconds)"), 1, Tooltip::Yes);
    cbPixelFormat = left.Add(Named(new QComboBox(page), "cbPixelFormat"),
                             QStringLiteral("Detect Depth"), QString(), 0);
    cbPixelFormat->addItems({QStringLiteral("2 Colors"), QStringLiteral("16 Colors"),
                             QStringLiteral("256 Colors"), QStringLiteral("65535 Colors"),
                             QStringLiteral("16 Million Colors")});
    cbPixelFormat->setCurrentIndex(4);
    Interval = left.Add(MakeDecimalSpin(page, "Interval", 0.5, 1440.0, 0.5, 10.0),
                        QStringLiteral("FTP Interval"),
                        QStringLiteral("How often to FTP the images (minutes)"), 1);
    chkFTP = left.AddCheck(Named(new QCheckBox(QStringLiteral("FTP Active"), page), "chkFTP"),
                           QStringLiteral("FTP the images"), 0);
    chkPassive = left.AddCheck(
        Named(new QCheckBox(QStringLiteral("Use PASV mode"), page), "chkPassive"), QString(), 0);
    chkPassive->setChecked(true);
    spnLag = left.Add(MakeIntSpin(page, "spnLag", 1, 30, 30), QStringLiteral("Live fps"),
                      QStringLiteral("Live view framerate"), 1, Tooltip::Yes);
    spnLag->hide();
    left.LastCaption->hide();
    left.layout()->addStretch(1);

    edtHost =
        right.Add(Named(new QLineEdit(page), "edtHost"), QStringLiteral("FTP Host"), QString(), 2);
    spnThumbs = right.Add(MakeIntSpin(page, "spnThumbs", 1, 100, 10), QStringLiteral("FTP History"),
                          QStringLiteral("How many images to keep on FTP Host"), 2, Tooltip::Yes);
    edtFTPDirectory = right.Add(Named(new QLineEdit(page), "edtFTPDirectory"),
                                QStringLiteral("FTP Destination Directory"), QString(), 2);
    edtLogin =
        right.Add(Named(new QLineEdit(page), "edtLogin"), QStringLiteral("Login"), QString(), 2);
    edtPassword = right.Add(Named(new QLineEdit(page), "edtPassword"), QStringLiteral("Password"),
                            QString(), 2);
    edtPassword->setEchoMode(QLineEdit::Password);
    chkWWW = right.AddCheck(Named(new QCheckBox(QStringLiteral("WWW Active"), page), "chkWWW"),
                            QStringLiteral("Activate the local Web Server"), 0);
    edtWWWPath = right.Add(Named(new TDirectoryEdit(page), "edtWWWPath"),
                           QStringLiteral("WWW Base Directory"),
                           QStringLiteral("Where the web pages are stored"), 3);
    edtPort = right.Add(Named(new QLineEdit(QStringLiteral("8080"), page), "edtPort"),
                        QStringLiteral("Port"), QStringLiteral("The Web Server port"), 3);
    chkLive = right.AddCheck(Named(new QCheckBox(QStringLiteral("Live View"), page), "chkLive"),
                             QStringLiteral("Show the camera live at /live.jpg and /live.mjpg"), 0);
    edtWWWPassword =
        right.Add(Named(new QLineEdit(page), "edtWWWPassword"), QStringLiteral("WWW Password"),
                  QStringLiteral("Password for the web pages (empty: none)"), 3);
    edtWWWPassword->setEchoMode(QLineEdit::Password);
    lblIP = right.Add(Named(new QLabel(QStringLiteral("127.0.0.1"), page), "lblIP"),
                      QStringLiteral("Current IP: "),
                      QStringLiteral("The current IP address of the web server"), 0);
    QFont bold = lblIP->font();
    bold.setBold(true);
    lblIP->setFont(bold);
    lblIP->setTextFormat(Qt::PlainText);
    right.layout()->addStretch(1);

    auto* columns = new QHBoxLayout(page);
    columns->setContentsMargins(10, 8, 10, 4);
    columns->setSpacing(18);
    columns->addLayout(left.layout(), 1);
    columns->addLayout(right.layout(), 1);
    return page;
}

QWidget* TfrmMain::CreateVideoAdjustPage() {
    auto* page = Named(new QWidget, "tsVideoAdjust");
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(10, 8, 10, 8);

    // The captions of these lists exist but are hidden; the lists speak for themselves.
    auto* dialogsCaption = new QLabel(QStringLiteral("Available Configurations"), page);
    dialogsCaption->hide();
    lbDialogs1 = Named(new QListWidget(page), "lbDialogs1");
    SetHint(lbDialogs1, QStringLiteral("Configure the video by double-clicking an item"));
    auto* modesCaption = new QLabel(QStringLiteral("Video Modes"), page);
    modesCaption->hide();
    cbVModes1 = Named(new QComboBox(page), "cbVModes1");
    SetHint(cbVModes1, QStringLiteral("Select a video mode"));
    cbAModes1 = Named(new QComboBox(page), "cbAModes1");
    cbAModes1->hide();

    layout->addWidget(lbDialogs1, 1);
    layout->addWidget(cbVModes1);
    return page;
}
