#include "GstV4l2Controls.h"

#include "GstUniqueFd.h"
#include "GstV4l2Ioctl.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

#include <linux/videodev2.h>

#include <fcntl.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

namespace {

template <std::size_t Size> std::string FixedText(const __u8 (&text)[Size]) {
    const auto* chars = reinterpret_cast<const char*>(text);
    return std::string(chars, strnlen(chars, Size));
}

template <std::size_t Size> std::string FixedText(const char (&text)[Size]) {
    return std::string(text, strnlen(text, Size));
}

std::optional<TDeviceControl::TKind> KindOf(std::uint32_t type) {
    switch (type) {
    case V4L2_CTRL_TYPE_INTEGER:
        return TDeviceControl::TKind::Integer;
    case V4L2_CTRL_TYPE_BOOLEAN:
        return TDeviceControl::TKind::Boolean;
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_INTEGER_MENU:
        return TDeviceControl::TKind::Menu;
    default:
        return std::nullopt;
    }
}

class TV4l2ControlSource : public IControlSource {
  public:
    explicit TV4l2ControlSource(TUniqueFd device) : Device(std::move(device)) {}

    std::vector<TDeviceControl> Controls() override {
        std::vector<TDeviceControl> controls;
        v4l2_query_ext_ctrl query{};
        query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
        while (V4l2Ioctl(Device.Get(), VIDIOC_QUERY_EXT_CTRL, &query) == 0) {
            if (std::optional<TDeviceControl> control = Describe(query))
                controls.push_back(std::move(*control));
            const std::uint32_t next = query.id | V4L2_CTRL_FLAG_NEXT_CTRL;
            query = {};
            query.id = next;
        }
        return controls;
    }

    bool SetControl(std::uint32_t id, std::int64_t value) override {
        v4l2_control control{};
        control.id = id;
        control.value = static_cast<__s32>(value);
        return V4l2Ioctl(Device.Get(), VIDIOC_S_CTRL, &control) == 0;
    }

  private:
    std::optional<TDeviceControl> Describe(const v4l2_query_ext_ctrl& query) {
        const std::optional<TDeviceControl::TKind> kind = KindOf(query.type);
        if (!kind || (query.flags & V4L2_CTRL_FLAG_DISABLED))
            return std::nullopt;
        TDeviceControl control;
        control.Id = query.id;
        control.Name = FixedText(query.name);
        control.Kind = *kind;
        control.Minimum = query.minimum;
        control.Maximum = query.maximum;
        control.Step = static_cast<std::int64_t>(query.step);
        control.Default = query.default_value;
        control.Value = query.default_value;
        control.ReadOnly = query.flags & (V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_GRABBED);
        control.Inactive = query.flags & V4L2_CTRL_FLAG_INACTIVE;
        v4l2_control current{};
        current.id = query.id;
        if (!(query.flags & V4L2_CTRL_FLAG_WRITE_ONLY) &&
            V4l2Ioctl(Device.Get(), VIDIOC_G_CTRL, &current) == 0)
            control.Value = current.value;
        if (*kind == TDeviceControl::TKind::Menu)
            control.Items = MenuItems(query);
        return control;
    }

    // Drivers leave gaps in their menus; the indexes they refuse are skipped.
    std::vector<std::pair<std::int64_t, std::string>> MenuItems(const v4l2_query_ext_ctrl& query) {
        std::vector<std::pair<std::int64_t, std::string>> items;
        constexpr std::int64_t MaxItems = 256;
        for (std::int64_t index = std::max<std::int64_t>(query.minimum, 0);
             index <= query.maximum && index < MaxItems; ++index) {
            v4l2_querymenu item{};
            item.id = query.id;
            item.index = static_cast<__u32>(index);
            if (V4l2Ioctl(Device.Get(), VIDIOC_QUERYMENU, &item) != 0)
                continue;
            items.emplace_back(index, query.type == V4L2_CTRL_TYPE_MENU
                                          ? FixedText(item.name)
                                          : std::to_string(item.value));
        }
        return items;
    }

    TUniqueFd Device;
};

} // namespace

std::shared_ptr<IControlSource> OpenV4l2Controls(const std::string& deviceNode) {
    TUniqueFd device(::open(deviceNode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!device)
        return nullptr;
    return std::make_shared<TV4l2ControlSource>(std::move(device));
}

TControlsEditor::TControlsEditor(std::shared_ptr<IControlSource> source, QWidget* parent)
    : TLiveEditor(parent), Source(std::move(source)), Found(Source->Controls()) {
    auto* form = new QFormLayout(this);
    for (const TDeviceControl& control : Found)
        form->addRow(QString::fromStdString(control.Name), MakeRow(control));
    ShowStates(Found);
}

void TControlsEditor::Revert() {
    const std::vector<TDeviceControl> now = Source->Controls();
    for (const TDeviceControl& found : Found) {
        const auto same = [&found](const TDeviceControl& c) {
            return c.Id == found.Id;
        };
        const auto current = std::find_if(now.begin(), now.end(), same);
        if (!found.ReadOnly && current != now.end() && current->Value != found.Value)
            Source->SetControl(found.Id, found.Value);
    }
}

QWidget* TControlsEditor::MakeRow(const TDeviceControl& control) {
    QWidget* row = nullptr;
    switch (control.Kind) {
    case TDeviceControl::TKind::Integer:
        row = MakeSlider(control);
        break;
    case TDeviceControl::TKind::Boolean:
        row = MakeCheckBox(control);
        break;
    case TDeviceControl::TKind::Menu:
        row = MakeComboBox(control);
        break;
    }
    Rows[control.Id] = row;
    return row;
}

// The slider moves in the device's steps: position n stands for Minimum + n * Step.
QWidget* TControlsEditor::MakeSlider(const TDeviceControl& control) {
    auto* row = new QWidget(this);
    const std::int64_t step = std::max<std::int64_t>(control.Step, 1);
    const std::int64_t minimum = control.Minimum;
    const auto positionOf = [minimum, step](std::int64_t value) {
        return static_cast<int>(std::clamp<std::int64_t>((value - minimum) / step, 0, INT_MAX));
    };
    auto* slider = new QSlider(Qt::Horizontal, row);
    slider->setObjectName(QString::fromStdString(control.Name));
    slider->setRange(0, positionOf(control.Maximum));
    slider->setValue(positionOf(control.Value));
    auto* value = new QLabel(QString::number(control.Value), row);
    value->setMinimumWidth(value->fontMetrics().horizontalAdvance("-000000"));
    auto* byDefault = new QPushButton(tr("Default"), row);
    connect(slider, &QSlider::valueChanged, this,
            [this, id = control.Id, minimum, step, value](int position) {
                const std::int64_t chosen = minimum + position * step;
                value->setText(QString::number(chosen));
                Set(id, chosen);
            });
    connect(byDefault, &QPushButton::clicked, slider,
            [slider, position = positionOf(control.Default)] { slider->setValue(position); });
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(slider);
    layout->addWidget(value);
    layout->addWidget(byDefault);
    return row;
}

QWidget* TControlsEditor::MakeCheckBox(const TDeviceControl& control) {
    auto* box = new QCheckBox(this);
    box->setObjectName(QString::fromStdString(control.Name));
    box->setChecked(control.Value != 0);
    connect(box, &QCheckBox::toggled, this,
            [this, id = control.Id](bool checked) { Set(id, checked ? 1 : 0); });
    return box;
}

QWidget* TControlsEditor::MakeComboBox(const TDeviceControl& control) {
    auto* combo = new QComboBox(this);
    combo->setObjectName(QString::fromStdString(control.Name));
    for (const auto& [value, label] : control.Items) {
        combo->addItem(QString::fromStdString(label), QVariant::fromValue<qint64>(value));
        if (value == control.Value)
            combo->setCurrentIndex(combo->count() - 1);
    }
    connect(combo, &QComboBox::currentIndexChanged, this,
            [this, combo, id = control.Id] { Set(id, combo->currentData().toLongLong()); });
    return combo;
}

void TControlsEditor::Set(std::uint32_t id, std::int64_t value) {
    Source->SetControl(id, value);
    ShowStates(Source->Controls());
}

void TControlsEditor::ShowStates(const std::vector<TDeviceControl>& controls) {
    for (const TDeviceControl& control : controls)
        if (const auto row = Rows.find(control.Id); row != Rows.end())
            row->second->setEnabled(!control.ReadOnly && !control.Inactive);
}
