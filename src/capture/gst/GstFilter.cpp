#include "GstFilter.h"

namespace {

// Ties a ghost pad to the pin object that wraps it, so that a peer pad leads back to its pin.
GQuark PinQuark() {
    static const GQuark quark = g_quark_from_static_string("kamvero-pin");
    return quark;
}

// An output pin that is not connected lets its stream fall on the floor, as an unconnected
// pin does in a filter graph. Left to itself, GStreamer would stop the branch with
// "not-linked" and post an error for the whole graph.
GstPadProbeReturn DropWhenUnlinked(GstPad*, GstPadProbeInfo*, gpointer ghost) {
    return gst_pad_is_linked(GST_PAD(ghost)) ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
}

void DropWhileUnlinked(GstPad* target, GstPad* ghost) {
    gst_pad_add_probe(
        target,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        DropWhenUnlinked, gst_object_ref(ghost), gst_object_unref);
}

} // namespace

TGstPin::TGstPin(const std::shared_ptr<TGstFilter>& filter, TGstPadRef ghost, TShape shape)
    : Owner(filter), Ghost(std::move(ghost)), Shape(shape) {
    g_object_set_qdata(G_OBJECT(Ghost.Get()), PinQuark(), this);
}

TGstPin::~TGstPin() {
    if (g_object_get_qdata(G_OBJECT(Ghost.Get()), PinQuark()) == this)
        g_object_set_qdata(G_OBJECT(Ghost.Get()), PinQuark(), nullptr);
}

std::shared_ptr<TGstPin> TGstPin::FromPad(GstPad* pad) {
    auto* pin = static_cast<TGstPin*>(g_object_get_qdata(G_OBJECT(pad), PinQuark()));
    if (!pin)
        return nullptr;
    return std::dynamic_pointer_cast<TGstPin>(pin->shared_from_this());
}

bool TGstPin::IsConnected() const {
    return gst_pad_is_linked(Ghost.Get());
}

HRESULT TGstPin::ConnectedTo(std::shared_ptr<IPin>& peer) {
    peer.reset();
    const TGstPadRef peerPad = TGstPadRef::Adopt(gst_pad_get_peer(Ghost.Get()));
    if (!peerPad)
        return VFW_E_NOT_CONNECTED;
    peer = FromPad(peerPad.Get());
    return peer ? S_OK : VFW_E_NOT_CONNECTED;
}

HRESULT TGstPin::QueryPinInfo(TPinInfo& info) {
    info.Filter = Owner.lock();
    info.Direction = Shape.Direction;
    const TGstString name = TGstString::Adopt(gst_pad_get_name(Ghost.Get()));
    info.Name = name ? name.Get() : "";
    return info.Filter ? S_OK : E_FAIL;
}

HRESULT TGstPin::QueryDirection(TPinDirection& direction) {
    direction = Shape.Direction;
    return S_OK;
}

TGstFilter::TGstFilter() : BinElement(TGstElementRef::RefSink(gst_bin_new(nullptr))) {}

TGstFilter::~TGstFilter() {
    PinList.clear();
    // A filter outside any pipeline may still hold resources from a state of its own.
    if (!GST_OBJECT_PARENT(BinElement.Get()))
        gst_element_set_state(BinElement.Get(), GST_STATE_NULL);
}

HRESULT TGstFilter::EnumPins(std::vector<std::shared_ptr<IPin>>& pins) {
    pins.assign(PinList.begin(), PinList.end());
    return S_OK;
}

std::shared_ptr<TGstPin> TGstFilter::InputFor(TMediaKind kind, GstPad*) {
    for (const std::shared_ptr<TGstPin>& pin : PinList)
        if (pin->Direction() == TPinDirection::Input && !pin->IsConnected() &&
            KindMatches(pin->Kind(), kind))
            return pin;
    return nullptr;
}

GstElement* TGstFilter::AddElement(const char* factory, const char* name) {
    TGstElementRef element = MakeElement(factory, name);
    if (!element || !gst_bin_add(GST_BIN(BinElement.Get()), element.Get()))
        return nullptr;
    // A bin that already runs takes the newcomer along; in NULL this does nothing.
    gst_element_sync_state_with_parent(element.Get());
    return element.Get(); // The bin keeps its own reference.
}

std::shared_ptr<TGstPin> TGstFilter::AddPendingPin(const char* name, TGstPin::TShape shape,
                                                   const char* templateCaps) {
    const GstPadDirection direction =
        shape.Direction == TPinDirection::Output ? GST_PAD_SRC : GST_PAD_SINK;
    const TGstCapsRef caps = TGstCapsRef::Adopt(gst_caps_from_string(templateCaps));
    const auto padTemplate = TGstHandle<GstPadTemplate>::RefSink(
        gst_pad_template_new(name, direction, GST_PAD_ALWAYS, caps.Get()));
    TGstPadRef ghost =
        TGstPadRef::RefSink(gst_ghost_pad_new_no_target_from_template(name, padTemplate.Get()));
    if (!ghost || !gst_element_add_pad(BinElement.Get(), ghost.Get()))
        return nullptr;
    auto pin = std::make_shared<TGstPin>(Self(), std::move(ghost), shape);
    PinList.push_back(pin);
    return pin;
}

bool TGstFilter::SetPinTarget(const TGstPin& pin, GstPad* target) {
    if (!gst_ghost_pad_set_target(GST_GHOST_PAD(pin.Pad()), target))
        return false;
    if (target && pin.Direction() == TPinDirection::Output)
        DropWhileUnlinked(target, pin.Pad());
    return true;
}

void TGstFilter::RemovePin(std::shared_ptr<TGstPin> pin) {
    gst_element_remove_pad(BinElement.Get(), pin->Pad());
    std::erase(PinList, pin);
}

std::shared_ptr<TGstFilter> TGstFilter::Self() {
    return std::dynamic_pointer_cast<TGstFilter>(shared_from_this());
}

TGstPadRef TGstFilter::Ghost(GstPad* target, const char* name, TPinDirection direction) {
    if (!target)
        return {};
    TGstPadRef ghost = TGstPadRef::RefSink(gst_ghost_pad_new(name, target));
    if (!ghost || !gst_element_add_pad(BinElement.Get(), ghost.Get()))
        return {};
    if (direction == TPinDirection::Output)
        DropWhileUnlinked(target, ghost.Get());
    return ghost;
}

TGstElementRef MakeElement(const char* factory, const char* name) {
    return TGstElementRef::RefSink(gst_element_factory_make(factory, name));
}

bool LinkElements(GstElement* from, GstElement* to) {
    return from && to && gst_element_link(from, to);
}

TGstPadRef StaticPad(GstElement* element, const char* name) {
    if (!element)
        return {};
    return TGstPadRef::Adopt(gst_element_get_static_pad(element, name));
}

std::shared_ptr<TGstFilter> AsGstFilter(const std::shared_ptr<IBaseFilter>& filter) {
    return std::dynamic_pointer_cast<TGstFilter>(filter);
}
