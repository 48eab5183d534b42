#pragma once

// The settings of a GStreamer element as GObject properties: which ones a user may change,
// their values held aside (to put back, or as the element's defaults), and a compact text of
// the values that differ from the defaults, which is what a compressor keeps as its state.

#include "GstHandle.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One GValue, unset when it goes.
class TGValue {
  public:
    TGValue() = default;
    explicit TGValue(GType type) { g_value_init(&Value, type); }
    ~TGValue() {
        if (G_IS_VALUE(&Value))
            g_value_unset(&Value);
    }
    TGValue(TGValue&& other) noexcept : Value(other.Value) { other.Value = G_VALUE_INIT; }
    TGValue& operator=(TGValue&& other) noexcept {
        TGValue moved(std::move(other));
        std::swap(Value, moved.Value);
        return *this;
    }
    TGValue(const TGValue&) = delete;
    TGValue& operator=(const TGValue&) = delete;

    GValue* Get() { return &Value; }
    const GValue* Get() const { return &Value; }

  private:
    GValue Value = G_VALUE_INIT;
};

// The properties of the element a user may change: readable, writable after construction, of
// a type an editor exists for. Without names: all of them except those of GStreamer's own base
// classes (the object's name, a base encoder's timing plumbing); with names: those, in order.
std::vector<GParamSpec*> EditableProperties(GstElement* element,
                                            std::span<const char* const> names = {});

// Numeric properties: the range a value may take, and conversions through double.
std::pair<double, double> NumericRange(const GParamSpec* property);
bool IsNumeric(const GParamSpec* property);
bool IsIntegral(const GParamSpec* property);
std::optional<double> ReadNumber(GstElement* element, const GParamSpec* property);
void WriteNumber(GstElement* element, const GParamSpec* property, double number);

// The values of some properties of one element, taken at one moment.
class TPropertyValues {
  public:
    static TPropertyValues Read(GstElement* element, const std::vector<GParamSpec*>& properties);
    // Writes back the values the element no longer has.
    void Restore(GstElement* element) const;
    const std::vector<std::pair<GParamSpec*, TGValue>>& Entries() const { return Values; }

  private:
    std::vector<std::pair<GParamSpec*, TGValue>> Values;
};

// One "name=value" line per property whose value differs from `defaults`, in their order;
// empty when the element is at its defaults.
std::string PropertyStateText(GstElement* element, const TPropertyValues& defaults);

// Sets the element to such a text: named properties take their values (clamped to their
// ranges), the others go back to their defaults; names the element does not know are skipped.
// Answers false and changes nothing when the text is malformed.
bool ApplyPropertyStateText(GstElement* element, const TPropertyValues& defaults,
                            std::string_view text);
