#pragma once

// A scripted, in-memory capture platform. Every operation is logged as a line of text such as
// "RenderStream(None,Video,SmartTee,-,SampleGrabber)", where filters are named by their kind;
// a scripted failure is matched against the start of that line. Filters connect their pins
// like a real graph, so taking a graph apart can be checked too.

#include "CapturePlatform.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct TFakeScript {
    std::vector<std::string> Calls;
    std::map<std::string, HRESULT> Failures;         // call text prefix -> result
    std::set<std::pair<std::string, TIID>> Refusals; // (object kind, interface) not offered

    HRESULT Result(const std::string& call);
    bool Called(const std::string& prefix) const;
    int CallCount(const std::string& prefix) const;
};

struct TFakeDevice {
    std::string FriendlyName;
    std::string DisplayName;
    bool DV = false;
    std::vector<TAMMediaType> Modes; // the first is the current one at bind time
    // Dialogs: interfaces the bound filter offers besides its own (ISpecifyPropertyPages,
    // IAMVfwCaptureDialogs, IAMVfwCompressDialogs, IAMTVTuner, IAMTVAudio), the driver dialogs
    // it has (VfwCaptureDialog_* bits), and whether the capture pin's configuration has pages.
    std::set<TIID> Interfaces{};
    int VfwDialogs = 0;
    bool PinPages = false;
};

class TFakeFilter;
class TFakeGraph;
class TFakeGrabber;

class TFakeCapturePlatform : public ICapturePlatform {
  public:
    TFakeCapturePlatform();

    HRESULT CoCreateInstance(TCLSID clsid, std::shared_ptr<IUnknown>& object) override;
    HRESULT CreateClassEnumerator(TDeviceCategory category,
                                  std::vector<std::shared_ptr<IMoniker>>& monikers) override;
    // Logged as "OleCreatePropertyFrame(<object>,x,y)"; a stream configuration is named
    // "StreamConfig.<owner kind>".
    HRESULT OleCreatePropertyFrame(QWidget* owner, int x, int y,
                                   const std::shared_ptr<IUnknown>& object) override;
    std::unique_ptr<IDeviceArrivalWatch>
    WatchDeviceArrivals(std::function<void()> arrived) override;

    // A capture device plugged in: the live arrival watch, if any, hears of it.
    void DeviceArrived();
    bool WatchingArrivals() const { return static_cast<bool>(*Arrival); }

    std::shared_ptr<TFakeScript> Script = std::make_shared<TFakeScript>();
    std::map<TDeviceCategory, std::vector<TFakeDevice>> Devices;
    std::shared_ptr<std::function<void()>> Arrival = std::make_shared<std::function<void()>>();

    // The graph and grabber made last, for the tests to drive.
    std::weak_ptr<TFakeGraph> LastGraph;
    std::weak_ptr<TFakeGrabber> LastGrabber;

    // Queues a graph event and lets the graph notify the component, as the platform would.
    void RaiseEvent(long code);
    // Hands one frame to the grabber's callback from a streaming thread of its own.
    void DeliverFrame(const std::vector<std::uint8_t>& bytes);
    // The grabber's negotiated format; set before frames are delivered.
    TAMMediaType GrabberFormat;

    // The kinds of the filters in the last graph, in the order they joined it.
    std::vector<std::string> GraphFilterKinds() const;

    // Live objects, to show that nothing is kept after a teardown.
    static int LiveFilters();
};

// A video mode as a stream configuration reports it.
TAMMediaType VideoType(const TGuid& subtype, int width, int height, int bits,
                       std::int64_t avgTimePerFrame = 333'333);
