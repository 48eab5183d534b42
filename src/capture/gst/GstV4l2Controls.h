#pragma once

// The controls of a video device (brightness, exposure, power-line frequency...) and the
// editor that shows them. The editor works on a small control source, so that it is tested
// without a device; the V4L2 source behind it only translates ioctls.

#include "GstPropertyPages.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct TDeviceControl {
    enum class TKind { Integer, Boolean, Menu };
    std::uint32_t Id = 0;
    std::string Name{};
    TKind Kind = TKind::Integer;
    std::int64_t Minimum = 0;
    std::int64_t Maximum = 0;
    std::int64_t Step = 1;
    std::int64_t Default = 0;
    std::int64_t Value = 0;
    // Menus: each item's value and label.
    std::vector<std::pair<std::int64_t, std::string>> Items{};
    // Read-only controls, and those the driver holds while it streams.
    bool ReadOnly = false;
    // Controls that mean nothing in the current setting (exposure while it is automatic).
    bool Inactive = false;
};

class IControlSource {
  public:
    virtual ~IControlSource() = default;
    // The controls a user may see, in the device's order; disabled ones are left out.
    virtual std::vector<TDeviceControl> Controls() = 0;
    virtual bool SetControl(std::uint32_t id, std::int64_t value) = 0;
};

// The controls of the V4L2 device node, open for as long as the answer lives; nullptr when the
// node cannot be opened.
std::shared_ptr<IControlSource> OpenV4l2Controls(const std::string& deviceNode);

// Integers are sliders over the device's range and step with a Default button, booleans check
// boxes, menus combo boxes; each widget is named after its control. Every change goes to the
// device at once, after which the other controls' states are read again.
class TControlsEditor : public TLiveEditor {
  public:
    TControlsEditor(std::shared_ptr<IControlSource> source, QWidget* parent);
    void Revert() override;

  private:
    QWidget* MakeRow(const TDeviceControl& control);
    QWidget* MakeSlider(const TDeviceControl& control);
    QWidget* MakeCheckBox(const TDeviceControl& control);
    QWidget* MakeComboBox(const TDeviceControl& control);
    void Set(std::uint32_t id, std::int64_t value);
    void ShowStates(const std::vector<TDeviceControl>& controls);

    std::shared_ptr<IControlSource> Source;
    std::vector<TDeviceControl> Found;
    std::map<std::uint32_t, QWidget*> Rows;
};
