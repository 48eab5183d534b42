#include "GstGraph.h"

#include "GstDevices.h"
#include "GstPreviewWidget.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

// Run waits this long for the pipeline to reach PLAYING; a device that takes longer is broken.
constexpr GstClockTime RunTimeout = 5 * GST_SECOND;

// Resource errors that mean the device itself went away (unplugged, driver gone), as opposed
// to a format or buffer problem.
bool SaysDeviceIsGone(const GError* error) {
    if (!error || error->domain != GST_RESOURCE_ERROR)
        return false;
    switch (error->code) {
    case GST_RESOURCE_ERROR_NOT_FOUND:
    case GST_RESOURCE_ERROR_OPEN_READ:
    case GST_RESOURCE_ERROR_OPEN_READ_WRITE:
    case GST_RESOURCE_ERROR_READ:
        return true;
    default:
        return false;
    }
}

} // namespace

TGstGraph::TGstGraph(std::shared_ptr<TGstDeviceMonitor> devices)
    : PipelineElement(TGstElementRef::RefSink(gst_pipeline_new(nullptr))),
      Bus(TGstBusRef::Adopt(gst_pipeline_get_bus(GST_PIPELINE(PipelineElement.Get())))),
      Devices(std::move(devices)) {
    GPollFD poll{};
    gst_bus_get_pollfd(Bus.Get(), &poll);
    BusWatch = std::make_unique<QSocketNotifier>(poll.fd, QSocketNotifier::Read);
    QObject::connect(BusWatch.get(), &QSocketNotifier::activated, [this] { DrainBus(); });
}

TGstGraph::~TGstGraph() {
    delete Preview.data();
    gst_element_set_state(PipelineElement.Get(), GST_STATE_NULL);
    for (const auto& [name, filter] : Filters)
        filter->SetGraph(nullptr);
}

bool TGstGraph::Offers(TIID iid) const {
    switch (iid) {
    case TIID::IGraphBuilder:
    case TIID::IMediaControl:
    case TIID::IMediaEventEx:
        return true;
    case TIID::IVideoWindow:
        return VideoRenderer() != nullptr;
    default:
        return false;
    }
}

HRESULT TGstGraph::AddFilter(const std::shared_ptr<IBaseFilter>& filter, const std::string& name) {
    const std::shared_ptr<TGstFilter> added = AsGstFilter(filter);
    if (!added)
        return E_POINTER;
    if (added->Graph())
        return E_INVALIDARG;
    const std::string unique = UniqueName(name);
    GstElement* bin = added->Bin();
    if (!gst_object_set_name(GST_OBJECT(bin), unique.c_str()) ||
        !gst_bin_add(GST_BIN(PipelineElement.Get()), bin))
        return E_FAIL;
    gst_element_sync_state_with_parent(bin);
    added->SetGraph(this);
    Filters.emplace_back(unique, added);
    if (added->Device())
        WatchDevices();
    return S_OK;
}

HRESULT TGstGraph::RemoveFilter(const std::shared_ptr<IBaseFilter>& filter) {
    const auto found = std::find_if(Filters.begin(), Filters.end(),
                                    [&](const auto& entry) { return entry.second == filter; });
    if (found == Filters.end())
        return VFW_E_NOT_FOUND;
    const std::shared_ptr<TGstFilter> removed = found->second;
    Filters.erase(found);
    gst_element_set_state(removed->Bin(), GST_STATE_NULL);
    gst_bin_remove(GST_BIN(PipelineElement.Get()), removed->Bin());
    removed->SetGraph(nullptr);
    return S_OK;
}

HRESULT TGstGraph::FindFilterByName(const std::string& name, std::shared_ptr<IBaseFilter>& filter) {
    const auto found = std::find_if(Filters.begin(), Filters.end(),
                                    [&](const auto& entry) { return entry.first == name; });
    filter = found == Filters.end() ? nullptr : found->second;
    return filter ? S_OK : VFW_E_NOT_FOUND;
}

HRESULT TGstGraph::Disconnect(const std::shared_ptr<IPin>& pin) {
    const auto gstPin = std::dynamic_pointer_cast<TGstPin>(pin);
    if (!gstPin)
        return E_POINTER;
    const TGstPadRef peer = TGstPadRef::Adopt(gst_pad_get_peer(gstPin->Pad()));
    if (!peer)
        return S_FALSE;
    const bool output = gstPin->Direction() == TPinDirection::Output;
    GstPad* const src = output ? gstPin->Pad() : peer.Get();
    GstPad* const sink = output ? peer.Get() : gstPin->Pad();
    return gst_pad_unlink(src, sink) ? S_OK : E_FAIL;
}

HRESULT TGstGraph::Run() {
    DeviceLost = false;
    for (const auto& [name, filter] : Filters)
        if (const HRESULT prepared = filter->PrepareToRun(); FAILED(prepared))
            return prepared;
    GstStateChangeReturn result = gst_element_set_state(PipelineElement.Get(), GST_STATE_PLAYING);
    if (result == GST_STATE_CHANGE_ASYNC)
        result = gst_element_get_state(PipelineElement.Get(), nullptr, nullptr, RunTimeout);
    return result == GST_STATE_CHANGE_SUCCESS || result == GST_STATE_CHANGE_NO_PREROLL ? S_OK
                                                                                       : E_FAIL;
}

HRESULT TGstGraph::Stop() {
    return gst_element_set_state(PipelineElement.Get(), GST_STATE_NULL) == GST_STATE_CHANGE_FAILURE
               ? E_FAIL
               : S_OK;
}

HRESULT TGstGraph::SetNotifyWindow(std::function<void()> notify) {
    Notify = std::move(notify);
    return S_OK;
}

HRESULT TGstGraph::GetEvent(long& code, std::intptr_t& param1, std::intptr_t& param2) {
    if (Events.empty())
        return E_FAIL;
    const TEvent event = Events.front();
    Events.pop_front();
    code = event.Code;
    param1 = event.Param1;
    param2 = event.Param2;
    return S_OK;
}

HRESULT TGstGraph::FreeEventParams(long, std::intptr_t, std::intptr_t) {
    return S_OK;
}

HRESULT TGstGraph::put_Owner(QWidget* owner) {
    if (!owner) {
        delete Preview.data();
        return S_OK;
    }
    const std::shared_ptr<TGstFilter> renderer = VideoRenderer();
    if (!renderer)
        return E_NOINTERFACE;
    if (!Preview)
        Preview = new TGstPreviewWidget(owner, renderer->VideoFrames());
    else {
        if (Preview->parentWidget() != owner)
            Preview->setParent(owner);
        Preview->ShowFramesOf(renderer->VideoFrames());
    }
    if (PreviewRect.isValid()) {
        Preview->setGeometry(PreviewRect);
        renderer->SetVideoSize(PreviewRect.width(), PreviewRect.height());
    }
    Preview->setVisible(PreviewVisible);
    return S_OK;
}

HRESULT TGstGraph::put_WindowStyle(long) {
    return S_OK;
}

HRESULT TGstGraph::SetWindowPosition(int left, int top, int width, int height) {
    PreviewRect = QRect(left, top, width, height);
    if (Preview)
        Preview->setGeometry(PreviewRect);
    if (const std::shared_ptr<TGstFilter> renderer = VideoRenderer())
        renderer->SetVideoSize(width, height);
    return S_OK;
}

HRESULT TGstGraph::put_Visible(bool visible) {
    PreviewVisible = visible;
    if (Preview)
        Preview->setVisible(visible);
    return S_OK;
}

bool TGstGraph::Holds(const std::shared_ptr<TGstFilter>& filter) const {
    return filter && filter->Graph() == this;
}

TGstPreviewWidget* TGstGraph::PreviewWidget() const {
    return Preview.data();
}

std::string TGstGraph::UniqueName(const std::string& wanted) const {
    const auto taken = [&](const std::string& name) {
        return std::any_of(Filters.begin(), Filters.end(),
                           [&](const auto& entry) { return entry.first == name; });
    };
    const std::string base = wanted.empty() ? "Filter" : wanted;
    if (!wanted.empty() && !taken(base))
        return base;
    for (unsigned n = 1;; ++n) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, " %04u", n);
        if (!taken(base + suffix))
            return base + suffix;
    }
}

std::shared_ptr<TGstFilter> TGstGraph::VideoRenderer() const {
    for (const auto& [name, filter] : Filters)
        if (filter->VideoFrames())
            return filter;
    return nullptr;
}

void TGstGraph::DrainBus() {
    while (const auto message = TGstHandle<GstMessage>::Adopt(gst_bus_pop(Bus.Get())))
        if (GST_MESSAGE_TYPE(message.Get()) == GST_MESSAGE_ERROR)
            OnError(message.Get());
}

void TGstGraph::OnError(GstMessage* message) {
    TGstErrorPtr error;
    gst_message_parse_error(message, error.OutParam(), nullptr);
    const GstObject* origin = GST_MESSAGE_SRC(message);
    const bool fromCaptureSource =
        std::any_of(Filters.begin(), Filters.end(), [&](const auto& entry) {
            GstElement* source = entry.second->CaptureSource();
            return source &&
                   (origin == GST_OBJECT(source) ||
                    gst_object_has_as_ancestor(const_cast<GstObject*>(origin), GST_OBJECT(source)));
        });
    if (fromCaptureSource && SaysDeviceIsGone(error.Get()))
        QueueDeviceLost();
    else
        Queue(EC_ERRORABORT, E_FAIL);
}

void TGstGraph::QueueDeviceLost() {
    if (std::exchange(DeviceLost, true))
        return;
    Queue(EC_DEVICE_LOST, 0);
}

void TGstGraph::OnDeviceRemoved(GstDevice* device) {
    const bool ours = std::any_of(Filters.begin(), Filters.end(), [&](const auto& entry) {
        return entry.second->Device() && SameDevice(entry.second->Device(), device);
    });
    if (ours)
        QueueDeviceLost();
}

void TGstGraph::Queue(long code, std::intptr_t param1) {
    Events.push_back({code, param1, 0});
    QCoreApplication* const application = QCoreApplication::instance();
    if (!application)
        return;
    // The notification is posted rather than called, so that whatever it does (stop the graph,
    // even release it) happens outside the bus handler. A graph released meanwhile gets none.
    QMetaObject::invokeMethod(
        application,
        [graph = weak_from_this()] {
            const auto self = std::dynamic_pointer_cast<TGstGraph>(graph.lock());
            if (!self || !self->Notify)
                return;
            const std::function<void()> notify = self->Notify;
            notify();
        },
        Qt::QueuedConnection);
}

void TGstGraph::WatchDevices() {
    if (Devices && !DeviceWatch)
        DeviceWatch = Devices->Watch([this](GstDevice* gone) { OnDeviceRemoved(gone); }, {});
}
