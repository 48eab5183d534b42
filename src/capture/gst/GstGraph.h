#pragma once

// The filter graph: a GstPipeline holding the filters' bins. It runs and stops the pipeline,
// turns bus messages into graph events on the GUI thread, and shows the video renderer's
// frames in a child widget of the owner it is given.

#include "CapturePlatform.h"
#include "GstDevices.h"
#include "GstFilter.h"

#include <QPointer>
#include <QRect>

#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QSocketNotifier;
class TGstPreviewWidget;

class TGstGraph : public IGraphBuilder,
                  public IMediaControl,
                  public IMediaEventEx,
                  public IVideoWindow {
  public:
    // The monitor tells the graph when a device of one of its filters is unplugged.
    explicit TGstGraph(std::shared_ptr<TGstDeviceMonitor> devices);
    ~TGstGraph() override;
    TGstGraph(const TGstGraph&) = delete;
    TGstGraph& operator=(const TGstGraph&) = delete;

    // IVideoWindow is there only while a video renderer is in the graph.
    bool Offers(TIID iid) const override;

    HRESULT AddFilter(const std::shared_ptr<IBaseFilter>& filter, const std::string& name) override;
    HRESULT RemoveFilter(const std::shared_ptr<IBaseFilter>& filter) override;
    HRESULT FindFilterByName(const std::string& name,
                             std::shared_ptr<IBaseFilter>& filter) override;
    HRESULT Disconnect(const std::shared_ptr<IPin>& pin) override;

    HRESULT Run() override;
    HRESULT Stop() override;

    HRESULT SetNotifyWindow(std::function<void()> notify) override;
    HRESULT GetEvent(long& code, std::intptr_t& param1, std::intptr_t& param2) override;
    HRESULT FreeEventParams(long code, std::intptr_t param1, std::intptr_t param2) override;

    HRESULT put_Owner(QWidget* owner) override;
    HRESULT put_WindowStyle(long style) override;
    HRESULT SetWindowPosition(int left, int top, int width, int height) override;
    HRESULT put_Visible(bool visible) override;

    // For the builder.
    bool Holds(const std::shared_ptr<TGstFilter>& filter) const;
    GstElement* Pipeline() const { return PipelineElement.Get(); }
    // The preview widget while an owner is set (tests look at what it paints).
    TGstPreviewWidget* PreviewWidget() const;

  private:
    struct TEvent {
        long Code;
        std::intptr_t Param1;
        std::intptr_t Param2;
    };

    std::string UniqueName(const std::string& wanted) const;
    std::shared_ptr<TGstFilter> VideoRenderer() const;
    void DrainBus();
    void OnError(GstMessage* message);
    void OnDeviceRemoved(GstDevice* device);
    void QueueDeviceLost();
    void Queue(long code, std::intptr_t param1);
    void WatchDevices();

    TGstElementRef PipelineElement;
    TGstBusRef Bus;
    // Declared after the bus: it watches the bus's descriptor and must go first.
    std::unique_ptr<QSocketNotifier> BusWatch;
    std::shared_ptr<TGstDeviceMonitor> Devices;
    std::unique_ptr<TGstDeviceMonitor::TWatch> DeviceWatch;
    std::vector<std::pair<std::string, std::shared_ptr<TGstFilter>>> Filters;
    std::deque<TEvent> Events;
    std::function<void()> Notify;
    QPointer<TGstPreviewWidget> Preview;
    QRect PreviewRect;
    bool PreviewVisible = false;
    unsigned NamesMade = 0;
    // A device goes once per run, however many ways it says so (its monitor, its element).
    bool DeviceLost = false;
};
