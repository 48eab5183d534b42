#include "GraphConfigDialog.h"
#include "CaptureUtils.h"

#include <QAction>
#include <QFileDialog>
#include <QFont>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QRect>
#include <QScreen>
#include <QStyle>

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

constexpr int DialogWidth = 522;
constexpr int DialogHeight = 357;
constexpr int FontPixelSize = 13;
constexpr int PreallocStepMb = 10;
constexpr int PreallocMaximumMb = 10000;

// The names of TDVResolution and TPixelFormat in ordinal order: an entry's position is the
// ordinal it stands for.
constexpr std::array DVResolutionNames{"dont worry", "Full", "Half", "Quater", "DC"};
constexpr std::array PixelFormatNames{"pfDevice", "pf1bit",  "pf4bit",  "pf8bit",  "pf15bit",
                                      "pf16bit",  "pf24bit", "pf32bit", "pfCustom"};

QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const QString& caption,
                        const QRect& place) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(place);
    return box;
}

QComboBox* MakeDropDownList(QWidget* parent, const char* name, const QRect& place) {
    auto* list = new QComboBox(parent);
    list->setObjectName(QLatin1String(name));
    list->setEditable(false);
    list->setGeometry(place);
    return list;
}

void MakeLabel(QWidget* parent, const QString& caption, const QRect& place, QWidget* buddy) {
    auto* label = new QLabel(caption, parent);
    label->setGeometry(place);
    label->setBuddy(buddy);
}

template <std::size_t N> void AddItems(QComboBox* list, const std::array<const char*, N>& names) {
    for (const char* name : names)
        list->addItem(QLatin1String(name));
}

// Selects the first entry equal to the name; a name that matches none leaves no selection
// (a drop-down list selects its first entry by itself once it has items).
void SelectExactly(QComboBox* list, const QString& name) {
    int found = -1;
    for (int i = 0; i < list->count() && found < 0; ++i) {
        if (list->itemText(i) == name)
            found = i;
    }
    list->setCurrentIndex(found);
}

QString SelectedText(const QComboBox* list) {
    return list->currentIndex() >= 0 ? list->currentText() : QString();
}

} // namespace

TFileNameEdit::TFileNameEdit(QWidget* parent) : QLineEdit(parent) {
    QAction* browse =
        addAction(style()->standardIcon(QStyle::SP_DirOpenIcon), QLineEdit::TrailingPosition);
    browse->setToolTip(tr("Choose a file"));
    connect(browse, &QAction::triggered, this, &TFileNameEdit::BrowseForFile);
}

void TFileNameEdit::BrowseForFile() {
    // The capture overwrites the file anyway, so asking about an existing one would only confuse.
    const QString chosen = QFileDialog::getSaveFileName(this, QString(), text(), QString(), nullptr,
                                                        QFileDialog::DontConfirmOverwrite);
    if (!chosen.isEmpty())
        setText(chosen);
}

TFGraphConfig::TFGraphConfig(ICapturePlatform& platform, QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Capture graph configuration"));
    setModal(true);
    setFixedSize(DialogWidth, DialogHeight);
    QFont dialogFont(QStringLiteral("Sans Serif"));
    dialogFont.setStyleHint(QFont::SansSerif);
    dialogFont.setPixelSize(FontPixelSize);
    setFont(dialogFont);

    CreateControls();
    SetTabOrder();
    ConnectRules();
    FillDeviceLists(platform);
    CenterOnScreen();
}

void TFGraphConfig::CreateControls() {
    cbWantPreview = MakeCheckBox(this, "cbWantPreview", "WantPreview", {8, 8, 160, 20});
    cbWantCapture = MakeCheckBox(this, "cbWantCapture", "WantCapture", {8, 30, 160, 20});
    cbWantBitmaps = MakeCheckBox(this, "cbWantBitmaps", "WantBitmaps", {8, 52, 160, 20});
    cbWantDVAudio = MakeCheckBox(this, "cbWantDVAudio", "WantDVAudio", {8, 74, 160, 20});
    cbDoPreallocCaptureFile =
        MakeCheckBox(this, "cbDoPreallocCaptureFile", "PreallocCaptureFile", {8, 96, 160, 20});
    cbUseTempFile = MakeCheckBox(this, "cbUseTempFile", "UseTempFile", {8, 118, 160, 20});

    auto* sources = new QGroupBox(tr(" Capture Sources "), this);
    sources->setGeometry(176, 4, 338, 74);
    cbVSources = MakeDropDownList(sources, "cbVSources", {64, 18, 266, 24});
    MakeLabel(sources, tr("Video"), {8, 20, 54, 20}, cbVSources);
    cbASources = MakeDropDownList(sources, "cbASources", {64, 46, 266, 24});
    MakeLabel(sources, tr("Audio"), {8, 48, 54, 20}, cbASources);

    auto* compressors = new QGroupBox(tr(" Compressors "), this);
    compressors->setGeometry(176, 82, 338, 74);
    cbVComps = MakeDropDownList(compressors, "cbVComps", {80, 18, 250, 24});
    cbAComps = MakeDropDownList(compressors, "cbAComps", {80, 46, 250, 24});
    cbVComp = MakeCheckBox(compressors, "cbVComp", tr("Video"), {8, 20, 70, 20});
    cbAComp = MakeCheckBox(compressors, "cbAComp", tr("Audio"), {8, 48, 70, 20});

    cbWantAudio = MakeCheckBox(this, "cbWantAudio", "WantAudio", {8, 140, 160, 20});

    cbDVResolution = MakeDropDownList(this, "cbDVResolution", {312, 162, 202, 24});
    MakeLabel(this, tr("DV Resolution"), {184, 164, 126, 20}, cbDVResolution);
    AddItems(cbDVResolution, DVResolutionNames);
    cbPixelFormat = MakeDropDownList(this, "cbPixelFormat", {312, 190, 202, 24});
    MakeLabel(this, tr("BitmapPixelFormat"), {184, 192, 126, 20}, cbPixelFormat);
    AddItems(cbPixelFormat, PixelFormatNames);

    feCaptureFile = new TFileNameEdit(this);
    feCaptureFile->setObjectName(QStringLiteral("feCaptureFile"));
    feCaptureFile->setGeometry(176, 222, 338, 24);
    feCaptureFile->setText(QStringLiteral("capture.avi"));
    MakeLabel(this, tr("CaptureFileName"), {8, 224, 166, 20}, feCaptureFile);
    feTempFile = new TFileNameEdit(this);
    feTempFile->setObjectName(QStringLiteral("feTempFile"));
    feTempFile->setGeometry(176, 250, 338, 24);
    feTempFile->setText(QStringLiteral("captemp.avi"));
    MakeLabel(this, tr("TempCaptureFileName"), {8, 252, 166, 20}, feTempFile);

    btnOK = new QPushButton(tr("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setGeometry(352, 322, 75, 25);
    btnOK->setDefault(true);
    btnCancel = new QPushButton(tr("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(436, 322, 75, 25);

    sePreallocSize = new QSpinBox(this);
    sePreallocSize->setObjectName(QStringLiteral("sePreallocSize"));
    sePreallocSize->setGeometry(176, 278, 100, 24);
    sePreallocSize->setRange(0, PreallocMaximumMb);
    sePreallocSize->setSingleStep(PreallocStepMb);
    MakeLabel(this, tr("Prealloc file size"), {8, 280, 166, 20}, sePreallocSize);
    MakeLabel(this, tr("Mb"), {282, 280, 40, 20}, nullptr);

    cbWantAudioPreview =
        MakeCheckBox(this, "cbWantAudioPreview", "WantAudioPreview", {8, 162, 160, 20});
}

void TFGraphConfig::SetTabOrder() {
    const std::array<QWidget*, 21> order{
        cbWantPreview,     cbWantCapture, cbWantBitmaps, cbWantDVAudio,  cbDoPreallocCaptureFile,
        cbUseTempFile,     cbVSources,    cbASources,    cbVComps,       cbAComps,
        cbVComp,           cbAComp,       cbWantAudio,   cbDVResolution, cbPixelFormat,
        feCaptureFile,     feTempFile,    btnOK,         btnCancel,      sePreallocSize,
        cbWantAudioPreview};
    for (std::size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void TFGraphConfig::ConnectRules() {
    connect(cbWantPreview, &QCheckBox::clicked, this, &TFGraphConfig::cbWantPreviewClick);
    connect(cbWantAudio, &QCheckBox::clicked, this, &TFGraphConfig::cbWantAudioClick);
    connect(cbWantCapture, &QCheckBox::clicked, this, &TFGraphConfig::cbWantCaptureClick);
    connect(cbUseTempFile, &QCheckBox::clicked, this, &TFGraphConfig::cbUseTempFileClick);
    connect(cbVComp, &QCheckBox::clicked, this, &TFGraphConfig::cbVCompClick);
    connect(cbAComp, &QCheckBox::clicked, this, &TFGraphConfig::cbACompClick);
    connect(cbDoPreallocCaptureFile, &QCheckBox::clicked, this,
            &TFGraphConfig::cbDoPreallocCaptureFileClick);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TFGraphConfig::FillDeviceLists(ICapturePlatform& platform) {
    // No forced refresh: opening the dialog must not make the chosen devices' entries change.
    cbVSources->addItems(VideoCaptureDeviceNames(platform, false));
    cbASources->addItems(AudioCaptureDeviceNames(platform, false));
    cbVComps->addItems(VideoCompressorNames(platform, false));
    cbAComps->addItems(AudioCompressorNames(platform, false));
}

void TFGraphConfig::CenterOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect place(0, 0, DialogWidth, DialogHeight);
    place.moveCenter(screen->availableGeometry().center());
    move(place.topLeft());
}

void TFGraphConfig::Fill(const TGraphConfig& config) {
    cbWantPreview->setChecked(config.WantPreview);
    cbWantCapture->setChecked(config.WantCapture);
    cbWantBitmaps->setChecked(config.WantBitmaps);
    cbWantDVAudio->setChecked(config.WantDVAudio);
    cbDoPreallocCaptureFile->setChecked(config.DoPreallocFile);
    cbUseTempFile->setChecked(config.UseTempFile);
    cbWantAudio->setChecked(config.WantAudio);
    cbWantAudioPreview->setChecked(config.WantAudioPreview);

    feCaptureFile->setText(config.CaptureFileName);
    feTempFile->setText(config.TempCaptureFileName);
    cbDVResolution->setCurrentIndex(static_cast<int>(config.DVResolution));
    cbPixelFormat->setCurrentIndex(static_cast<int>(config.PixelFormat));
    sePreallocSize->setValue(static_cast<int>(std::min<std::uint32_t>(
        config.PreallocFileSize, static_cast<std::uint32_t>(PreallocMaximumMb))));

    SelectExactly(cbVSources, config.VCapSource);
    SelectExactly(cbASources, config.ACapSource);
    SelectExactly(cbVComps, config.VComp);
    SelectExactly(cbAComps, config.AComp);
    // A compressor is in use exactly when the configuration names one that is present.
    cbVComp->setChecked(cbVComps->currentIndex() >= 0);
    cbAComp->setChecked(cbAComps->currentIndex() >= 0);

    // Later rules override earlier ones on the controls they share, so the order matters.
    cbWantPreviewClick();
    cbWantAudioClick();
    cbWantCaptureClick();
    cbUseTempFileClick();
    cbVCompClick();
    cbACompClick();
    cbDoPreallocCaptureFileClick();
}

void TFGraphConfig::Store(TGraphConfig& config) const {
    config.SetDefaults();
    config.WantPreview = cbWantPreview->isChecked();
    config.WantCapture = cbWantCapture->isChecked();
    config.WantBitmaps = cbWantBitmaps->isChecked();
    config.WantDVAudio = cbWantDVAudio->isChecked();
    config.DoPreallocFile = cbDoPreallocCaptureFile->isChecked();
    config.UseTempFile = cbUseTempFile->isChecked();
    config.WantAudio = cbWantAudio->isChecked();
    config.WantAudioPreview = cbWantAudioPreview->isChecked();
    config.PreallocFileSize = static_cast<std::uint32_t>(sePreallocSize->value());
    config.CaptureFileName = feCaptureFile->text();
    config.TempCaptureFileName = feTempFile->text();

    if (cbDVResolution->currentIndex() >= 0)
        config.DVResolution = static_cast<TDVResolution>(cbDVResolution->currentIndex());
    if (cbPixelFormat->currentIndex() >= 0)
        config.PixelFormat = static_cast<TPixelFormat>(cbPixelFormat->currentIndex());

    config.VCapSource = SelectedText(cbVSources);
    config.ACapSource = SelectedText(cbASources);
    if (cbVComp->isChecked())
        config.VComp = SelectedText(cbVComps);
    if (cbAComp->isChecked())
        config.AComp = SelectedText(cbAComps);
    // The old state belonged to the compressor chosen before; it may not fit the new one.
    config.VCompState.clear();
}

void TFGraphConfig::cbWantPreviewClick() {
    const bool preview = cbWantPreview->isChecked();
    cbWantBitmaps->setEnabled(preview);
    cbWantAudioPreview->setEnabled(preview);
}

void TFGraphConfig::cbWantAudioClick() {
    const bool audio = cbWantAudio->isChecked();
    const bool audioCapture = audio && cbWantCapture->isChecked();
    cbASources->setEnabled(audio);
    cbAComp->setEnabled(audioCapture);
    cbAComps->setEnabled(audioCapture);
}

void TFGraphConfig::cbWantCaptureClick() {
    const bool capture = cbWantCapture->isChecked();
    for (QWidget* control :
         std::array<QWidget*, 7>{feCaptureFile, cbDoPreallocCaptureFile, cbUseTempFile, cbVComps,
                                 cbVComp, cbAComps, cbAComp})
        control->setEnabled(capture);
}

void TFGraphConfig::cbUseTempFileClick() {
    feTempFile->setEnabled(cbUseTempFile->isChecked());
}

void TFGraphConfig::cbVCompClick() {
    cbVComps->setEnabled(cbWantCapture->isChecked() && cbVComp->isChecked());
}

void TFGraphConfig::cbACompClick() {
    cbAComps->setEnabled(cbWantCapture->isChecked() && cbWantAudio->isChecked() &&
                         cbAComp->isChecked());
}

void TFGraphConfig::cbDoPreallocCaptureFileClick() {
    sePreallocSize->setEnabled(cbDoPreallocCaptureFile->isChecked());
}

bool EditGraphConfig(ICapturePlatform& platform, TGraphConfig& config, QWidget* parent) {
    TFGraphConfig dialog(platform, parent);
    dialog.Fill(config);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    dialog.Store(config);
    return true;
}
