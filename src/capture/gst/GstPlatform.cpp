#include "GstPlatform.h"

#include "GstDevices.h"
#include "GstFilters.h"
#include "GstGraph.h"
#include "GstGraphBuilder.h"
#include "GstPreviewWidget.h"
#include "GstPropertyPages.h"

#include <mutex>

namespace {

void InitGStreamerOnce() {
    static std::once_flag once;
    std::call_once(once, [] { gst_init(nullptr, nullptr); });
}

class TArrivalWatch : public IDeviceArrivalWatch {
  public:
    TArrivalWatch(TGstDeviceMonitor& devices, std::function<void()> arrived)
        : Watch(devices.Watch({}, [arrived = std::move(arrived)](GstDevice*) { arrived(); })) {}

  private:
    std::unique_ptr<TGstDeviceMonitor::TWatch> Watch;
};

class TGstPlatform : public ICapturePlatform {
  public:
    HRESULT CoCreateInstance(TCLSID clsid, std::shared_ptr<IUnknown>& object) override {
        object = Create(clsid);
        return object ? S_OK : REGDB_E_CLASSNOTREG;
    }

    HRESULT CreateClassEnumerator(TDeviceCategory category,
                                  std::vector<std::shared_ptr<IMoniker>>& monikers) override {
        monikers = EnumerateCategory(*Devices, category);
        return monikers.empty() ? S_FALSE : S_OK;
    }

    HRESULT OleCreatePropertyFrame(QWidget* owner, int x, int y,
                                   const std::shared_ptr<IUnknown>& object) override {
        std::unique_ptr<QDialog> dialog = MakePropertyDialog(object, owner);
        if (dialog && owner)
            dialog->move(owner->mapToGlobal(QPoint(x, y)));
        return ShowModal(std::move(dialog));
    }

    std::unique_ptr<IDeviceArrivalWatch>
    WatchDeviceArrivals(std::function<void()> arrived) override {
        return std::make_unique<TArrivalWatch>(*Devices, std::move(arrived));
    }

  private:
    std::shared_ptr<IUnknown> Create(TCLSID clsid) const {
        switch (clsid) {
        case TCLSID::FilterGraph:
            return std::make_shared<TGstGraph>(Devices);
        case TCLSID::CaptureGraphBuilder2:
            return CreateGstGraphBuilder();
        case TCLSID::SampleGrabber:
            return CreateSampleGrabber();
        case TCLSID::SmartTee:
            return CreateSmartTee();
        case TCLSID::InfTee:
            return CreateInfTee();
        case TCLSID::DVVideoCodec:
            return CreateDvDecoder();
        case TCLSID::DVSplitter:
            return CreateDvSplitter();
        }
        return nullptr;
    }

    const std::shared_ptr<TGstDeviceMonitor> Devices = TGstDeviceMonitor::Shared();
};

} // namespace

std::shared_ptr<ICapturePlatform> CreateGstPlatform() {
    InitGStreamerOnce();
    return std::make_shared<TGstPlatform>();
}

GstElement* GstFilterBinForTest(const std::shared_ptr<IBaseFilter>& filter) {
    const std::shared_ptr<TGstFilter> gstFilter = AsGstFilter(filter);
    return gstFilter ? gstFilter->Bin() : nullptr;
}

QWidget* GstPreviewWidgetForTest(const std::shared_ptr<IGraphBuilder>& graph) {
    const auto gstGraph = std::dynamic_pointer_cast<TGstGraph>(graph);
    return gstGraph ? gstGraph->PreviewWidget() : nullptr;
}

TGstPreviewStats GstPreviewStatsForTest(const std::shared_ptr<IGraphBuilder>& graph) {
    const auto gstGraph = std::dynamic_pointer_cast<TGstGraph>(graph);
    const TGstPreviewWidget* widget = gstGraph ? gstGraph->PreviewWidget() : nullptr;
    if (!widget)
        return {};
    return {widget->PaintedFrames(), widget->FrameSize().width(), widget->FrameSize().height()};
}
