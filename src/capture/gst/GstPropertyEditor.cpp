#include "GstPropertyEditor.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>

#include <array>
#include <climits>
#include <cmath>

namespace {

bool IsColour(const GParamSpec* property) {
    const std::string_view name = property->name;
    return G_IS_PARAM_SPEC_UINT(property) && (name.find("color") != std::string_view::npos ||
                                              name.find("colour") != std::string_view::npos);
}

QString ColourText(QRgb argb) {
    return QStringLiteral("#%1").arg(argb, 8, 16, QLatin1Char('0')).toUpper();
}

void ShowColour(QPushButton* button, QRgb argb) {
    button->setText(ColourText(argb));
    const QColor colour = QColor::fromRgba(argb);
    const QString text = colour.lightness() > 127 ? "black" : "white";
    button->setStyleSheet(
        QStringLiteral("background-color: %1; color: %2").arg(colour.name(), text));
}

QString Label(const GParamSpec* property) {
    const char* nick = g_param_spec_get_nick(const_cast<GParamSpec*>(property));
    return QString::fromUtf8(nick && *nick ? nick : property->name);
}

} // namespace

TPropertyEditor::TPropertyEditor(GstElement* element, const std::vector<GParamSpec*>& properties,
                                 QWidget* parent)
    : TLiveEditor(parent), Element(TGstElementRef::Retain(element)),
      Found(TPropertyValues::Read(element, properties)) {
    auto* form = new QFormLayout(this);
    for (GParamSpec* property : properties)
        if (QWidget* editor = MakeEditor(property)) {
            editor->setObjectName(QString::fromUtf8(property->name));
            const char* blurb = g_param_spec_get_blurb(property);
            editor->setToolTip(QString::fromUtf8(blurb ? blurb : ""));
            form->addRow(Label(property), editor);
        }
}

void TPropertyEditor::Revert() {
    Found.Restore(Element.Get());
}

QWidget* TPropertyEditor::MakeEditor(GParamSpec* property) {
    if (G_IS_PARAM_SPEC_ENUM(property))
        return MakeEnumEditor(property);
    if (G_IS_PARAM_SPEC_BOOLEAN(property))
        return MakeBooleanEditor(property);
    if (IsColour(property))
        return MakeColourEditor(property);
    if (IsNumeric(property))
        return MakeNumberEditor(property);
    if (G_IS_PARAM_SPEC_STRING(property))
        return MakeStringEditor(property);
    return nullptr;
}

QWidget* TPropertyEditor::MakeEnumEditor(GParamSpec* property) {
    auto* combo = new QComboBox(this);
    const GEnumClass* const enumClass = G_PARAM_SPEC_ENUM(property)->enum_class;
    int current = 0;
    g_object_get(Element.Get(), property->name, &current, nullptr);
    for (guint i = 0; i < enumClass->n_values; ++i) {
        const GEnumValue& value = enumClass->values[i];
        combo->addItem(QString::fromUtf8(value.value_nick), value.value);
        if (value.value == current)
            combo->setCurrentIndex(combo->count() - 1);
    }
    connect(combo, &QComboBox::currentIndexChanged, this, [this, combo, property] {
        g_object_set(Element.Get(), property->name, combo->currentData().toInt(), nullptr);
    });
    return combo;
}

QWidget* TPropertyEditor::MakeBooleanEditor(GParamSpec* property) {
    auto* box = new QCheckBox(this);
    gboolean current = FALSE;
    g_object_get(Element.Get(), property->name, &current, nullptr);
    box->setChecked(current);
    connect(box, &QCheckBox::toggled, this, [this, property](bool checked) {
        g_object_set(Element.Get(), property->name, checked ? TRUE : FALSE, nullptr);
    });
    return box;
}

QWidget* TPropertyEditor::MakeNumberEditor(GParamSpec* property) {
    const auto [minimum, maximum] = NumericRange(property);
    const double current = ReadNumber(Element.Get(), property).value_or(minimum);
    // Integers beyond int's range (uint bit rates, 64-bit times) use the wider double box.
    if (IsIntegral(property) && minimum >= INT_MIN && maximum <= INT_MAX) {
        auto* spin = new QSpinBox(this);
        spin->setRange(static_cast<int>(minimum), static_cast<int>(maximum));
        spin->setValue(static_cast<int>(current));
        spin->setKeyboardTracking(false);
        connect(spin, &QSpinBox::valueChanged, this,
                [this, property](int value) { WriteNumber(Element.Get(), property, value); });
        return spin;
    }
    auto* spin = new QDoubleSpinBox(this);
    spin->setDecimals(IsIntegral(property) ? 0 : 3);
    spin->setRange(minimum, maximum);
    spin->setValue(current);
    spin->setKeyboardTracking(false);
    connect(spin, &QDoubleSpinBox::valueChanged, this,
            [this, property](double value) { WriteNumber(Element.Get(), property, value); });
    return spin;
}

QWidget* TPropertyEditor::MakeStringEditor(GParamSpec* property) {
    auto* edit = new QLineEdit(this);
    gchar* current = nullptr;
    g_object_get(Element.Get(), property->name, &current, nullptr);
    const TGstString text = TGstString::Adopt(current);
    edit->setText(QString::fromUtf8(text ? text.Get() : ""));
    connect(edit, &QLineEdit::editingFinished, this, [this, edit, property] {
        g_object_set(Element.Get(), property->name, edit->text().toUtf8().constData(), nullptr);
    });
    return edit;
}

QWidget* TPropertyEditor::MakeColourEditor(GParamSpec* property) {
    auto* button = new QPushButton(this);
    guint current = 0;
    g_object_get(Element.Get(), property->name, &current, nullptr);
    ShowColour(button, current);
    connect(button, &QPushButton::clicked, this, [this, button, property] {
        guint argb = 0;
        g_object_get(Element.Get(), property->name, &argb, nullptr);
        const QColor chosen = QColorDialog::getColor(QColor::fromRgba(argb), this, Label(property),
                                                     QColorDialog::ShowAlphaChannel);
        if (!chosen.isValid())
            return;
        g_object_set(Element.Get(), property->name, guint{chosen.rgba()}, nullptr);
        ShowColour(button, chosen.rgba());
    });
    return button;
}

TVolumeEditor::TVolumeEditor(GstElement* volume, QWidget* parent)
    : TLiveEditor(parent), Volume(TGstElementRef::Retain(volume)),
      Found(
          TPropertyValues::Read(volume, EditableProperties(volume, std::array{"volume", "mute"}))) {
    gdouble level = 1.0;
    gboolean muted = FALSE;
    g_object_get(volume, "volume", &level, "mute", &muted, nullptr);

    // Amplifying a capture only makes it clip, so the slider ends at the unchanged level.
    auto* slider = new QSlider(Qt::Horizontal, this);
    slider->setObjectName("volume");
    slider->setRange(0, 100);
    slider->setValue(static_cast<int>(std::lround(std::min(level, 1.0) * 100)));
    auto* percent = new QLabel(QStringLiteral("%1 %").arg(slider->value()), this);
    percent->setMinimumWidth(percent->fontMetrics().horizontalAdvance("100 %"));
    connect(slider, &QSlider::valueChanged, this, [this, percent](int value) {
        g_object_set(Volume.Get(), "volume", value / 100.0, nullptr);
        percent->setText(QStringLiteral("%1 %").arg(value));
    });
    auto* mute = new QCheckBox(tr("Mute"), this);
    mute->setObjectName("mute");
    mute->setChecked(muted);
    connect(mute, &QCheckBox::toggled, this, [this](bool checked) {
        g_object_set(Volume.Get(), "mute", checked ? TRUE : FALSE, nullptr);
    });

    auto* row = new QHBoxLayout;
    row->addWidget(slider);
    row->addWidget(percent);
    auto* form = new QFormLayout(this);
    form->addRow(tr("Volume"), row);
    form->addRow(QString(), mute);
}

void TVolumeEditor::Revert() {
    Found.Restore(Volume.Get());
}
