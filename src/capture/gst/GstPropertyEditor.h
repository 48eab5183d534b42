#pragma once

// Editors over a GStreamer element's properties, applied to the element as the user changes
// them: a generic one (one row per property, the widget chosen by its type) and the volume
// editor of an audio source.

#include "GstPropertyPages.h"
#include "GstPropertyState.h"

// Enums are combo boxes of their nicks, booleans check boxes, numbers spin boxes over the
// property's range, strings line edits, and colours (uint "...color" properties, ARGB) buttons
// that open a colour chooser. Each widget is named after its property.
class TPropertyEditor : public TLiveEditor {
  public:
    TPropertyEditor(GstElement* element, const std::vector<GParamSpec*>& properties,
                    QWidget* parent);
    void Revert() override;

  private:
    QWidget* MakeEditor(GParamSpec* property);
    QWidget* MakeEnumEditor(GParamSpec* property);
    QWidget* MakeBooleanEditor(GParamSpec* property);
    QWidget* MakeNumberEditor(GParamSpec* property);
    QWidget* MakeStringEditor(GParamSpec* property);
    QWidget* MakeColourEditor(GParamSpec* property);

    TGstElementRef Element;
    TPropertyValues Found;
};

// The level of a `volume` element as 0 to 100 % of its unchanged level, and its mute switch;
// named "volume" and "mute".
class TVolumeEditor : public TLiveEditor {
  public:
    TVolumeEditor(GstElement* volume, QWidget* parent);
    void Revert() override;

  private:
    TGstElementRef Volume;
    TPropertyValues Found;
};
