#pragma once

// moc reads Qt's headers first; it cannot parse the C++20 standard headers on its own.
#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "CapturePlatform.h"
#include "GraphConfig.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

// The frame handed to OnBitmapGrabbed. The component owns it for the duration of the event,
// so a handler copies what it keeps.
using TCapturedBitmap = QImage;

// The configuration dialogs a chosen device may bring, numbered 0 to DialogKindCount - 1.
inline constexpr int DialogKindCount = 14;
// "Video Format", "Video Source", ... "Audio Compressor"; empty outside the range.
QString DialogKindName(int kind);

// Raised inside a graph build after its message was shown; the build catches it.
class EVideoCaptureError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Receives frames on the streaming thread. It copies the one frame that was asked for and
// posts to the component; it never waits for the GUI thread.
class TSampleGrabberCB : public ISampleGrabberCB {
  public:
    HRESULT SampleCB(double sampleTime) override;
    HRESULT BufferCB(double sampleTime, const std::uint8_t* buffer, long bufferLength) override;
    bool WantsBuffer() const override { return GrabNext; }

    std::vector<std::uint8_t> Buffer;
    long BufferSize = 0;
    QObject* NotifyWindow = nullptr;
    std::atomic<bool> GrabNext = false;
    std::mutex BufferLock;
};

// The capture component: a windowed control that shows the live picture of a capture device
// and turns a requested frame into a bitmap on the GUI thread. It reports its own failures in
// a message box and answers true or false; no exception leaves it.
class TVideoCapture : public QWidget {
    Q_OBJECT
  public:
    using TNotifyEvent = std::function<void(TVideoCapture* sender)>;
    using TBitmapCapturedEvent = std::function<void(const TCapturedBitmap& CapturedImage)>;

    TVideoCapture(std::shared_ptr<ICapturePlatform> platform, QWidget* parent = nullptr);
    ~TVideoCapture() override;

    // Operations the application uses.
    bool InitGraph();
    void LoadConfig(const TGraphConfig* config);
    void SaveConfig(TGraphConfig* config);
    bool StartPreview();
    bool StopPreview();
    bool StopCapture();
    bool RequestFrame();
    bool HasDialog(int kind) const;
    // Shows the dialog of that kind (see DialogKindName) and answers true, whatever the dialog
    // did; false when the kind is not offered or a capture runs.
    bool ShowDialog(int kind);
    // Disconnects everything downstream of the capture filters; the next start builds again.
    void TearDownGraph();

    // Video and audio modes of the chosen devices.
    int VideoModeCount();
    TVCapMode GetVideoMode(int index);
    TVCapMode GetCurrentVideoMode();
    bool SetVideoMode(int index);
    bool SelectVideoMode(const TVCapMode& mode);
    int CurrentVideoModeIndex();
    int AudioModeCount();
    TACapMode GetAudioMode(int index);
    TACapMode GetCurrentAudioMode();
    bool SetAudioMode(int index);
    bool SelectAudioMode(const TACapMode& mode);

    // Properties.
    TDVResolution DVResolution() const { return FDVResolution; }
    void SetDVResolution(TDVResolution value);
    bool WantBitmaps = true;
    TPixelFormat BitmapPixelFormat = TPixelFormat::pf24bit;
    bool WantAudio = true;
    bool WantDVAudio = true;
    bool WantAudioPreview = true;
    bool WantPreview = true;
    bool WantCapture = true;
    bool UseFrameRate = false;
    double FrameRate() const { return FFrameRate; }
    void SetFrameRate(double value);
    QString CaptureFileName;
    bool UseTempFile = false;
    QString TempCaptureFileName() const { return FTempCaptureFileName; }
    void SetTempCaptureFileName(const QString& name);
    bool UseTimeLimit = false;
    std::int32_t TimeLimit = 0;
    bool DoPreallocFile = false;
    std::uint32_t PreallocFileSize = 1;
    QColor Color() const;
    void SetColor(const QColor& color);

    // Where the frame grabber's live pictures go, from the next graph built; told when they
    // stop. A platform without live pictures never delivers any.
    std::shared_ptr<ILivePictureSink> LiveSink;

    // Relative capture file names are taken from this folder, never from the current one,
    // so building a graph cannot delete a user's own file of that name.
    QString FileFolder;

    // Events.
    TNotifyEvent OnAborted;
    TNotifyEvent OnDeviceLost;
    TNotifyEvent OnChangeDevice;
    TNotifyEvent OnChangeCompressor;
    TNotifyEvent OnChangeVCapMode;
    TNotifyEvent OnChangeACapMode;
    TNotifyEvent OnCaptureProgress;
    TNotifyEvent OnStopCapture;
    TNotifyEvent OnStopPreview;
    TNotifyEvent OnStartCapture;
    TNotifyEvent OnStartPreview;
    TBitmapCapturedEvent OnBitmapGrabbed;
    TNotifyEvent OnFrameRendered;

    // Shows a failure to the user; the default is a modal box captioned "DirectShow - Capture".
    std::function<void(const QString& text)> ShowErrorBox;

    // State, for the application and the tests.
    bool GraphBuilt() const { return FGraphBuilt; }
    bool Previewing() const { return FPreviewing; }
    bool Capturing() const { return FCapturing; }
    int MasterStream() const { return FMasterStream; }
    QString CaptureFile() const { return FCaptureFile; }

    // Messages posted to the component's window.
    static constexpr int WM_GRAPHNOTIFY = 1;
    static constexpr int WM_FRAMEGRABBED = 2;
    static constexpr int WM_FRAMERENDERED = 3;

  protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    // Graph building, in CaptureGraph.cpp.
    bool InitCaptureFilters();
    bool BuildGraph();
    void BuildGraphSteps();
    bool RenderPreview(std::shared_ptr<IBaseFilter> source);
    bool SetupVideoWindow();
    void ApplyFrameRate();
    void ControlCaptureStreams(bool run);
    void RemoveDownstream(const std::shared_ptr<IBaseFilter>& filter);
    bool IsDVSource();
    void ApplyMasterStream(int index);
    bool AllocCaptureFile(std::uint32_t megabytes);
    void ReleaseFilters();
    void ReleaseAll();
    void HandleGraphEvents();
    // Applies a configuration: devices, modes, the compressor's state; builds and previews.
    void ApplyConfig(const TGraphConfig& config);

    // The lost camera coming back, in CaptureHotPlug.cpp.
    void WaitForLostDevice();
    void StopWaitingForLostDevice();
    void TryRestoreLostDevice();

    // Dialogs, in CaptureDialogs.cpp.
    void FindDialogs();
    std::shared_ptr<IUnknown> FindDialogObject(TIID iid, const TGuid* type,
                                               TPinCategory category = TPinCategory::Capture);
    bool HasPages(const std::shared_ptr<IUnknown>& object) const;
    void ShowPropertyFrame(const std::shared_ptr<IUnknown>& object);
    void ShowAroundStoppedPreview(const std::function<void()>& show);
    QString ResolveFileName(const QString& name) const;

    // Frames, in VideoCapture.cpp.
    void HandleFrameGrabbed(const TSampleGrabberCB* sender);
    void CaptureTimerTick();
    void ShowError(const char* text, HRESULT code = 0);
    [[noreturn]] void Fatal(const char* text, HRESULT code = 0);

    std::shared_ptr<ICapturePlatform> Platform;
    TDVResolution FDVResolution = TDVResolution::dvrDontWorry;
    double FFrameRate = 0.0;
    QString FTempCaptureFileName;

    bool FGraphBuilt = false;
    bool FPreviewing = false;
    bool FCapturing = false;
    std::uint16_t FDialogs = 0;
    QString FCaptureFile;
    int FMasterStream = -1;

    std::shared_ptr<IMoniker> FVideoDevice;
    std::shared_ptr<IMoniker> FAudioDevice;
    std::shared_ptr<IMoniker> FVideoCompressorDevice;
    std::shared_ptr<IMoniker> FAudioCompressorDevice;

    std::shared_ptr<IGraphBuilder> FGraph;
    std::shared_ptr<ICaptureGraphBuilder2> FBuilder;
    std::shared_ptr<IBaseFilter> FVideoCaptureFilter;
    std::shared_ptr<IBaseFilter> FAudioCaptureFilter;
    std::shared_ptr<IBaseFilter> FVideoCompressorFilter;
    std::shared_ptr<IBaseFilter> FAudioCompressorFilter;
    std::shared_ptr<IBaseFilter> FDVSplitter;
    std::shared_ptr<IBaseFilter> FDVDecoder;
    std::shared_ptr<IAMStreamConfig> FVideoStreamConfig;
    std::shared_ptr<IAMStreamConfig> FAudioStreamConfig;
    std::shared_ptr<IAMVfwCaptureDialogs> FVfwCaptureDialogs;
    std::shared_ptr<IAMVfwCompressDialogs> FVfwCompressDialogs;
    std::shared_ptr<IBaseFilter> FMux;
    std::shared_ptr<IFileSinkFilter> FFileSink;
    std::shared_ptr<IConfigAviMux> FMuxConfig;
    std::shared_ptr<ISampleGrabber> FGrabber;
    std::shared_ptr<IVideoWindow> FVideoWindow;
    std::shared_ptr<IMediaEventEx> FEvents;

    std::unique_ptr<TSampleGrabberCB> FCallback;
    // The bitmap of the frame event, kept for the next one of the same layout.
    TCapturedBitmap FBitmap;
    QTimer* FTimer = nullptr;

    // While the chosen camera is unplugged: the configuration to come back to, the watch for
    // devices being plugged in, and the attempts after an arrival.
    std::optional<TGraphConfig> FLostConfig;
    QTimer* FRestoreTimer = nullptr;
    int FRestoreAttempts = 0;
    std::unique_ptr<IDeviceArrivalWatch> FArrivals;
};
