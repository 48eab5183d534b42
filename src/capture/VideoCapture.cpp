#include "VideoCapture.h"

#include "CaptureUtils.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMessageBox>
#include <QPalette>

#include <cstring>

namespace {

constexpr int CaptureTimerIntervalMs = 100;
// After a camera is plugged in, its driver may need a moment before it opens; a few tries
// this far apart bring the preview back within about three seconds.
constexpr int RestoreIntervalMs = 500;

QEvent::Type PostedType(int message) {
    return static_cast<QEvent::Type>(QEvent::User + message);
}

// A posted window message: which component callback it comes from travels with it.
class TCaptureMessage : public QEvent {
  public:
    TCaptureMessage(int message, const TSampleGrabberCB* sender)
        : QEvent(PostedType(message)), Sender(sender) {}
    const TSampleGrabberCB* Sender;
};

// "%x" shows a result code as upper-case hexadecimal without a prefix.
QString FormatMessage(const char* text, HRESULT code) {
    QString message = QString::fromLatin1(text);
    message.replace(QLatin1String("%x"),
                    QString::number(static_cast<std::uint32_t>(code), 16).toUpper());
    return message;
}

constexpr std::uint32_t BI_RGB = 0;

// 16-bit frames are RGB555 unless their header says the masks are RGB565's.
QImage::Format FormatForHeader(const TBitmapInfoHeader& header) {
    if (header.biBitCount == 16 && header.biCompression == BI_RGB)
        return QImage::Format_RGB555;
    switch (header.biBitCount) {
    case 1:
        return QImage::Format_Mono;
    case 4:
    case 8:
        return QImage::Format_Grayscale8;
    case 15:
        return QImage::Format_RGB555;
    case 16:
        return QImage::Format_RGB16;
    case 32:
        return QImage::Format_RGB32;
    default:
        return QImage::Format_BGR888;
    }
}

// Copies bitmap rows into the image: bottom-up for a positive height, top-down otherwise.
bool DrawBitmap(const TBitmapInfoHeader& header, const std::vector<std::uint8_t>& buffer,
                long bufferSize, QImage& image) {
    const int height = std::abs(header.biHeight);
    const qsizetype stride = ((qsizetype(header.biWidth) * header.biBitCount + 31) / 32) * 4;
    const qsizetype rowBytes = std::min(stride, image.bytesPerLine());
    if (image.isNull() || bufferSize < stride * height ||
        static_cast<qsizetype>(buffer.size()) < stride * height)
        return false;
    for (int row = 0; row < height; ++row) {
        const int source = header.biHeight > 0 ? height - 1 - row : row;
        std::memcpy(image.scanLine(row), buffer.data() + source * stride,
                    static_cast<std::size_t>(rowBytes));
    }
    return true;
}

void Fire(const TVideoCapture::TNotifyEvent& event, TVideoCapture* sender) {
    if (event)
        event(sender);
}

} // namespace

HRESULT TSampleGrabberCB::SampleCB(double /*sampleTime*/) {
    return S_OK;
}

HRESULT TSampleGrabberCB::BufferCB(double /*sampleTime*/, const std::uint8_t* buffer,
                                   long bufferLength) {
    // A frame without bytes is one the grabber did not convert: the request still stands.
    if (buffer != nullptr && GrabNext.exchange(false)) {
        {
            const std::lock_guard lock(BufferLock);
            Buffer.resize(static_cast<std::size_t>(bufferLength));
            std::memcpy(Buffer.data(), buffer, static_cast<std::size_t>(bufferLength));
            BufferSize = bufferLength;
        }
        QCoreApplication::postEvent(NotifyWindow,
                                    new TCaptureMessage(TVideoCapture::WM_FRAMEGRABBED, this));
    }
    QCoreApplication::postEvent(NotifyWindow,
                                new TCaptureMessage(TVideoCapture::WM_FRAMERENDERED, this));
    return S_OK;
}

TVideoCapture::TVideoCapture(std::shared_ptr<ICapturePlatform> platform, QWidget* parent)
    : QWidget(parent), Platform(std::move(platform)),
      FCallback(std::make_unique<TSampleGrabberCB>()) {
    SetColor(Qt::blue);
    setAutoFillBackground(true);
    resize(100, 100);
    ShowErrorBox = [this](const QString& text) {
        QMessageBox::critical(window(), QStringLiteral("DirectShow - Capture"), text);
    };
    FTimer = new QTimer(this);
    FTimer->setInterval(CaptureTimerIntervalMs);
    connect(FTimer, &QTimer::timeout, this, [this] { CaptureTimerTick(); });
    FTimer->start();
    FRestoreTimer = new QTimer(this);
    FRestoreTimer->setInterval(RestoreIntervalMs);
    connect(FRestoreTimer, &QTimer::timeout, this, [this] { TryRestoreLostDevice(); });
}

TVideoCapture::~TVideoCapture() {
    StopPreview();
    StopCapture();
    TearDownGraph();
    ReleaseAll();
    FTimer->stop();
    ClearAllDevices();
}

QColor TVideoCapture::Color() const {
    return palette().color(QPalette::Window);
}

void TVideoCapture::SetColor(const QColor& color) {
    QPalette colored = palette();
    colored.setColor(QPalette::Window, color);
    setPalette(colored);
}

void TVideoCapture::SetFrameRate(double value) {
    FFrameRate = (value < 1.0 || value > 50.0) ? 25.0 : value;
}

void TVideoCapture::ShowError(const char* text, HRESULT code) {
    if (ShowErrorBox)
        ShowErrorBox(FormatMessage(text, code));
}

void TVideoCapture::Fatal(const char* text, HRESULT code) {
    ShowError(text, code);
    throw EVideoCaptureError(FormatMessage(text, code).toStdString());
}

bool TVideoCapture::RequestFrame() {
    const bool grab = FGrabber != nullptr && WantBitmaps && (FPreviewing || FCapturing);
    FCallback->GrabNext = grab;
    return grab;
}

bool TVideoCapture::HasDialog(int kind) const {
    return kind >= 0 && kind <= 15 && (FDialogs & (1u << kind)) != 0;
}

bool TVideoCapture::event(QEvent* event) {
    const auto type = static_cast<int>(event->type());
    if (type == QEvent::User + WM_FRAMEGRABBED) {
        HandleFrameGrabbed(static_cast<TCaptureMessage*>(event)->Sender);
        return true;
    }
    if (type == QEvent::User + WM_FRAMERENDERED) {
        Fire(OnFrameRendered, this);
        return true;
    }
    if (type == QEvent::User + WM_GRAPHNOTIFY) {
        HandleGraphEvents();
        return true;
    }
    return QWidget::event(event);
}

void TVideoCapture::HandleFrameGrabbed(const TSampleGrabberCB* sender) {
    // Nothing a frame does, not even a failing handler, may disturb the next frame.
    try {
        if (sender != FCallback.get() || !FGrabber)
            return;
        TAMMediaType type;
        if (FAILED(FGrabber->GetConnectedMediaType(type)))
            return;
        if ((type.formattype != FORMAT_VideoInfo && type.formattype != FORMAT_VideoInfo2) ||
            !type.Bitmap)
            return;
        const TBitmapInfoHeader header = *type.Bitmap;
        // The pixels are drawn into the last event's bitmap when it has the same layout: a new
        // one of a megapixel frame costs more in page faults than the copy itself. A handler that
        // kept that bitmap keeps its own pixels, as drawing detaches a shared image.
        const QSize size(header.biWidth, std::abs(header.biHeight));
        const QImage::Format format = FormatForHeader(header);
        if (FBitmap.size() != size || FBitmap.format() != format)
            FBitmap = TCapturedBitmap(size, format);
        bool drawn = false;
        {
            const std::lock_guard lock(FCallback->BufferLock);
            if (FCallback->BufferSize > 0)
                drawn = DrawBitmap(header, FCallback->Buffer, FCallback->BufferSize, FBitmap);
        }
        if (drawn && OnBitmapGrabbed)
            OnBitmapGrabbed(FBitmap);
    } catch (...) {
    }
}

void TVideoCapture::CaptureTimerTick() {
    // Capturing to a file is never started in this program, so there is nothing to count.
    if (!FCapturing)
        return;
    Fire(OnCaptureProgress, this);
}

void TVideoCapture::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (FVideoWindow)
        FVideoWindow->SetWindowPosition(0, 0, width(), height());
}

void TVideoCapture::LoadConfig(const TGraphConfig* config) {
    if (config == nullptr)
        return;
    // The user's choice wins over waiting for a camera that went away.
    StopWaitingForLostDevice();
    ApplyConfig(*config);
}

void TVideoCapture::ApplyConfig(const TGraphConfig& config) {
    TearDownGraph();
    ReleaseAll();

    UseTempFile = config.UseTempFile;
    WantBitmaps = config.WantBitmaps;
    DoPreallocFile = config.DoPreallocFile;
    WantCapture = config.WantCapture;
    WantPreview = config.WantPreview;
    WantDVAudio = config.WantDVAudio;
    WantAudio = config.WantAudio;
    WantAudioPreview = config.WantAudioPreview;
    PreallocFileSize = config.PreallocFileSize;
    SetDVResolution(config.DVResolution);
    BitmapPixelFormat = config.PixelFormat;
    if (!config.TempCaptureFileName.isEmpty())
        SetTempCaptureFileName(config.TempCaptureFileName);
    if (!config.CaptureFileName.isEmpty())
        CaptureFileName = config.CaptureFileName;

    RefreshAllDevices(*Platform);
    FVideoDevice = FindDeviceMoniker(VideoCaptureDevices(), config.VCapSource);
    FAudioDevice = FindDeviceMoniker(AudioCaptureDevices(), config.ACapSource);
    FAudioCompressorDevice = FindDeviceMoniker(AudioCompressors(), config.AComp);
    FVideoCompressorDevice = FindDeviceMoniker(VideoCompressors(), config.VComp);

    InitCaptureFilters();
    if (!config.VCompState.isEmpty() && FVfwCompressDialogs)
        FVfwCompressDialogs->SetState(
            std::vector<std::uint8_t>(config.VCompState.begin(), config.VCompState.end()));
    SelectAudioMode(config.ACapMode);
    SelectVideoMode(config.VCapMode);
    if (BuildGraph() && WantPreview)
        StartPreview();
    Fire(OnChangeDevice, this);
    Fire(OnChangeCompressor, this);
}

namespace {

// The chosen device's name; when the lists were enumerated again since the choice, the same
// device is found by its display name in a fresh enumeration.
QString ChosenDeviceName(ICapturePlatform& platform, TDeviceCategory category,
                         const std::shared_ptr<IMoniker>& moniker) {
    if (!moniker)
        return {};
    TCapDeviceList& list = DeviceList(category);
    QString name = FindDeviceName(list, moniker);
    if (!name.isEmpty())
        return name;
    EnumerateDevices(platform, category, list);
    name = FindDeviceName(list, moniker);
    std::string wanted;
    if (!name.isEmpty() || FAILED(moniker->GetDisplayName(wanted)))
        return name;
    for (const TCapDeviceInfo& device : list) {
        std::string candidate;
        if (SUCCEEDED(device.Moniker->GetDisplayName(candidate)) && candidate == wanted)
            return device.UniqueName;
    }
    return {};
}

} // namespace

void TVideoCapture::SaveConfig(TGraphConfig* config) {
    if (config == nullptr)
        return;
    config->SetDefaults();
    config->WantBitmaps = WantBitmaps;
    config->WantCapture = WantCapture;
    config->WantPreview = WantPreview;
    config->WantDVAudio = WantDVAudio;
    config->WantAudio = WantAudio;
    config->WantAudioPreview = WantAudioPreview;
    config->DoPreallocFile = DoPreallocFile;
    config->UseTempFile = UseTempFile;
    config->PreallocFileSize = PreallocFileSize;
    config->TempCaptureFileName = FTempCaptureFileName;
    config->CaptureFileName = CaptureFileName;
    config->DVResolution = FDVResolution;
    config->PixelFormat = BitmapPixelFormat;
    config->ACapMode = GetCurrentAudioMode();
    config->VCapMode = GetCurrentVideoMode();
    config->VCompState.clear();
    if (std::vector<std::uint8_t> state;
        FVfwCompressDialogs && SUCCEEDED(FVfwCompressDialogs->GetState(state)))
        config->VCompState = QByteArray(reinterpret_cast<const char*>(state.data()),
                                        static_cast<qsizetype>(state.size()));
    config->VCapSource =
        ChosenDeviceName(*Platform, TDeviceCategory::VideoInputDevice, FVideoDevice);
    config->ACapSource =
        ChosenDeviceName(*Platform, TDeviceCategory::AudioInputDevice, FAudioDevice);
    config->VComp =
        ChosenDeviceName(*Platform, TDeviceCategory::VideoCompressor, FVideoCompressorDevice);
    config->AComp =
        ChosenDeviceName(*Platform, TDeviceCategory::AudioCompressor, FAudioCompressorDevice);
}
