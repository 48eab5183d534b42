#pragma once

// Filters and pins over GStreamer: a filter is a GstBin whose ghost pads are its pins. The
// graph and the builder see every filter through this base; the kinds of filter add their
// interfaces and override the few points where they differ.

#include "CapturePlatform.h"
#include "GstHandle.h"
#include "GstMediaType.h"

#include <memory>
#include <string>
#include <vector>

class TFrameSlot;
class TGstFilter;

class TGstPin : public IPin {
  public:
    struct TShape {
        TPinDirection Direction = TPinDirection::Input;
        TPinCategory Category = TPinCategory::None;
        TMediaKind Kind = TMediaKind::Any;
    };
    static constexpr TShape In(TMediaKind kind) {
        return {TPinDirection::Input, TPinCategory::None, kind};
    }
    static constexpr TShape Out(TMediaKind kind, TPinCategory category = TPinCategory::None) {
        return {TPinDirection::Output, category, kind};
    }

    TGstPin(const std::shared_ptr<TGstFilter>& filter, TGstPadRef ghost, TShape shape);
    ~TGstPin() override;
    TGstPin(const TGstPin&) = delete;
    TGstPin& operator=(const TGstPin&) = delete;

    bool Offers(TIID) const override { return false; }
    HRESULT ConnectedTo(std::shared_ptr<IPin>& peer) override;
    HRESULT QueryPinInfo(TPinInfo& info) override;
    HRESULT QueryDirection(TPinDirection& direction) override;

    GstPad* Pad() const { return Ghost.Get(); }
    TPinDirection Direction() const { return Shape.Direction; }
    TPinCategory Category() const { return Shape.Category; }
    // Pins whose kind follows the chosen format (a camcorder's DV) override this.
    virtual TMediaKind Kind() const { return Shape.Kind; }
    bool IsConnected() const;
    std::shared_ptr<TGstFilter> Filter() const { return Owner.lock(); }

    // The pin object behind a ghost pad, when the pad belongs to a live pin.
    static std::shared_ptr<TGstPin> FromPad(GstPad* pad);

  private:
    std::weak_ptr<TGstFilter> Owner;
    TGstPadRef Ghost;
    TShape Shape;
};

class TGstGraph;

class TGstFilter : public IBaseFilter {
  public:
    TGstFilter();
    ~TGstFilter() override;
    TGstFilter(const TGstFilter&) = delete;
    TGstFilter& operator=(const TGstFilter&) = delete;

    bool Offers(TIID iid) const override { return iid == TIID::IBaseFilter; }
    HRESULT EnumPins(std::vector<std::shared_ptr<IPin>>& pins) override;

    GstElement* Bin() const { return BinElement.Get(); }
    const std::vector<std::shared_ptr<TGstPin>>& Pins() const { return PinList; }
    // The graph this filter sits in; maintained by the graph, read on the GUI thread only.
    TGstGraph* Graph() const { return Owner; }
    void SetGraph(TGstGraph* graph) { Owner = graph; }

    // The input pin that should take a stream of this kind from `upstream`; a multiplexer
    // makes one on demand. Fails with a null pin.
    virtual std::shared_ptr<TGstPin> InputFor(TMediaKind kind, GstPad* upstream);
    // Undoes InputFor when the link it was made for did not come about.
    virtual void ReleaseInput(const std::shared_ptr<TGstPin>&) {}
    // Whether this filter can take part in a connection at all.
    virtual HRESULT CanConnect() const { return S_OK; }
    // The newest rendered frames, for a video renderer only.
    virtual std::shared_ptr<TFrameSlot> VideoFrames() const { return nullptr; }
    // A video renderer delivers its frames at the size they are shown, so that neither the
    // conversion nor the painting spends time on pixels nobody sees; 0 x 0 keeps the size.
    virtual void SetVideoSize(int /*width*/, int /*height*/) {}
    // The element whose resource errors mean that the capture device is gone.
    virtual GstElement* CaptureSource() const { return nullptr; }
    // The device this filter was bound from.
    virtual GstDevice* Device() const { return nullptr; }
    // Called on the GUI thread before the graph starts running; a failure keeps it stopped.
    virtual HRESULT PrepareToRun() { return S_OK; }

  protected:
    // Adds a new element to the bin and answers it (borrowed: the bin holds it); nullptr when
    // the factory is missing.
    GstElement* AddElement(const char* factory, const char* name = nullptr);
    // Ghosts `target` as a new pin of this filter.
    template <typename PinType = TGstPin, typename... Extra>
    std::shared_ptr<PinType> AddPin(GstPad* target, const char* name, TGstPin::TShape shape,
                                    Extra&&... extra) {
        TGstPadRef ghost = Ghost(target, name, shape.Direction);
        if (!ghost)
            return nullptr;
        auto pin = std::make_shared<PinType>(Self(), std::move(ghost), shape,
                                             std::forward<Extra>(extra)...);
        PinList.push_back(pin);
        return pin;
    }
    // A pin whose pad inside the bin exists only once the stream shows it (a demultiplexer's);
    // until SetPinTarget ties it, it offers the template caps.
    std::shared_ptr<TGstPin> AddPendingPin(const char* name, TGstPin::TShape shape,
                                           const char* templateCaps);
    // Safe on a streaming thread, where pads of a demultiplexer appear.
    static bool SetPinTarget(const TGstPin& pin, GstPad* target);
    void RemovePin(std::shared_ptr<TGstPin> pin);
    std::shared_ptr<TGstFilter> Self();

  private:
    TGstPadRef Ghost(GstPad* target, const char* name, TPinDirection direction);

    TGstElementRef BinElement;
    std::vector<std::shared_ptr<TGstPin>> PinList;
    TGstGraph* Owner = nullptr;
};

// Makes a filter and builds its bin; nullptr when the build fails. Pins need the filter's own
// shared pointer, so building cannot happen in the constructor.
template <typename Filter, typename... Args> std::shared_ptr<Filter> MakeFilter(Args&&... args) {
    auto filter = std::make_shared<Filter>(std::forward<Args>(args)...);
    return filter->Build() ? filter : nullptr;
}

// Makes an element: sunk, owned by the handle; empty when the factory is missing.
TGstElementRef MakeElement(const char* factory, const char* name = nullptr);
// Links two elements' static pads, or answers false.
bool LinkElements(GstElement* from, GstElement* to);
// A static pad of an element, or an empty handle.
TGstPadRef StaticPad(GstElement* element, const char* name);
// The filter behind a layer object, when it is one of ours.
std::shared_ptr<TGstFilter> AsGstFilter(const std::shared_ptr<IBaseFilter>& filter);
