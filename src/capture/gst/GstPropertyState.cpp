#include "GstPropertyState.h"

#include <cmath>
#include <cstring>

namespace {

bool IsChangeable(const GParamSpec* property) {
    const GParamFlags flags = property->flags;
    return (flags & G_PARAM_READABLE) && (flags & G_PARAM_WRITABLE) &&
           !(flags & G_PARAM_CONSTRUCT_ONLY) && !(flags & G_PARAM_DEPRECATED);
}

bool HasEditor(const GParamSpec* property) {
    const GType type = G_PARAM_SPEC_VALUE_TYPE(property);
    return G_IS_PARAM_SPEC_ENUM(property) || type == G_TYPE_BOOLEAN || type == G_TYPE_STRING ||
           IsNumeric(property);
}

// The object's name and the base classes' plumbing (quality of service, timestamp tolerance)
// are no part of what a user configures on an encoder. The base types are looked up by name,
// as the audio library is not linked and is only loaded with an audio encoder.
bool DeclaredByBaseClass(const GParamSpec* property) {
    if (g_type_is_a(GST_TYPE_BIN, property->owner_type))
        return true;
    for (const char* base :
         {"GstVideoEncoder", "GstAudioEncoder", "GstBaseTransform", "GstBaseSrc", "GstPushSrc"}) {
        const GType type = g_type_from_name(base);
        if (type != 0 && property->owner_type == type)
            return true;
    }
    return false;
}

TGValue ReadValue(GstElement* element, const GParamSpec* property) {
    TGValue value(G_PARAM_SPEC_VALUE_TYPE(property));
    g_object_get_property(G_OBJECT(element), property->name, value.Get());
    return value;
}

bool Differs(GParamSpec* property, const GValue* a, const GValue* b) {
    return g_param_values_cmp(property, a, b) != 0;
}

// GStreamer writes an enum by its long description; the nick is shorter and reads back as well.
std::optional<std::string> Serialize(const GParamSpec* property, const GValue* value) {
    if (G_IS_PARAM_SPEC_ENUM(property)) {
        const GEnumValue* known =
            g_enum_get_value(G_PARAM_SPEC_ENUM(property)->enum_class, g_value_get_enum(value));
        if (known)
            return known->value_nick;
    }
    const TGstString text = TGstString::Adopt(gst_value_serialize(value));
    return text ? std::optional<std::string>(text.Get()) : std::nullopt;
}

// A line "name=value": the property it names (nullptr for an unknown name) and its value.
struct TStateLine {
    GParamSpec* Property = nullptr;
    TGValue Value;
};

std::optional<TStateLine> ParseStateLine(const TPropertyValues& known, std::string_view line) {
    const std::size_t equals = line.find('=');
    if (equals == 0 || equals == std::string_view::npos)
        return std::nullopt;
    const std::string_view name = line.substr(0, equals);
    TStateLine parsed;
    for (const auto& [property, value] : known.Entries())
        if (name == property->name)
            parsed.Property = property;
    if (!parsed.Property)
        return parsed;
    parsed.Value = TGValue(G_PARAM_SPEC_VALUE_TYPE(parsed.Property));
    const std::string text(line.substr(equals + 1));
    if (!gst_value_deserialize(parsed.Value.Get(), text.c_str()))
        return std::nullopt;
    g_param_value_validate(parsed.Property, parsed.Value.Get());
    return parsed;
}

} // namespace

std::vector<GParamSpec*> EditableProperties(GstElement* element,
                                            std::span<const char* const> names) {
    std::vector<GParamSpec*> editable;
    GObjectClass* const objectClass = G_OBJECT_GET_CLASS(element);
    const auto usable = [](const GParamSpec* property) {
        return property && IsChangeable(property) && HasEditor(property);
    };
    if (!names.empty()) {
        for (const char* name : names)
            if (GParamSpec* property = g_object_class_find_property(objectClass, name);
                usable(property))
                editable.push_back(property);
        return editable;
    }
    guint count = 0;
    GParamSpec** const all = g_object_class_list_properties(objectClass, &count);
    for (guint i = 0; i < count; ++i)
        if (usable(all[i]) && !DeclaredByBaseClass(all[i]))
            editable.push_back(all[i]);
    g_free(all);
    return editable;
}

bool IsNumeric(const GParamSpec* property) {
    return G_IS_PARAM_SPEC_INT(property) || G_IS_PARAM_SPEC_UINT(property) ||
           G_IS_PARAM_SPEC_INT64(property) || G_IS_PARAM_SPEC_UINT64(property) ||
           G_IS_PARAM_SPEC_LONG(property) || G_IS_PARAM_SPEC_ULONG(property) ||
           G_IS_PARAM_SPEC_FLOAT(property) || G_IS_PARAM_SPEC_DOUBLE(property);
}

bool IsIntegral(const GParamSpec* property) {
    return IsNumeric(property) && !G_IS_PARAM_SPEC_FLOAT(property) &&
           !G_IS_PARAM_SPEC_DOUBLE(property);
}

std::pair<double, double> NumericRange(const GParamSpec* property) {
    const auto range = [](auto minimum, auto maximum) {
        return std::pair{static_cast<double>(minimum), static_cast<double>(maximum)};
    };
    auto* declared = const_cast<GParamSpec*>(property);
    if (G_IS_PARAM_SPEC_INT(declared))
        return range(G_PARAM_SPEC_INT(declared)->minimum, G_PARAM_SPEC_INT(declared)->maximum);
    if (G_IS_PARAM_SPEC_UINT(declared))
        return range(G_PARAM_SPEC_UINT(declared)->minimum, G_PARAM_SPEC_UINT(declared)->maximum);
    if (G_IS_PARAM_SPEC_INT64(declared))
        return range(G_PARAM_SPEC_INT64(declared)->minimum, G_PARAM_SPEC_INT64(declared)->maximum);
    if (G_IS_PARAM_SPEC_UINT64(declared))
        return range(G_PARAM_SPEC_UINT64(declared)->minimum, G_PARAM_SPEC_UINT64(declared)->maximum);
    if (G_IS_PARAM_SPEC_LONG(declared))
        return range(G_PARAM_SPEC_LONG(declared)->minimum, G_PARAM_SPEC_LONG(declared)->maximum);
    if (G_IS_PARAM_SPEC_ULONG(declared))
        return range(G_PARAM_SPEC_ULONG(declared)->minimum, G_PARAM_SPEC_ULONG(declared)->maximum);
    if (G_IS_PARAM_SPEC_FLOAT(declared))
        return range(G_PARAM_SPEC_FLOAT(declared)->minimum, G_PARAM_SPEC_FLOAT(declared)->maximum);
    if (G_IS_PARAM_SPEC_DOUBLE(declared))
        return range(G_PARAM_SPEC_DOUBLE(declared)->minimum, G_PARAM_SPEC_DOUBLE(declared)->maximum);
    return {0.0, 0.0};
}

std::optional<double> ReadNumber(GstElement* element, const GParamSpec* property) {
    const TGValue value = ReadValue(element, property);
    TGValue number(G_TYPE_DOUBLE);
    if (!g_value_transform(value.Get(), number.Get()))
        return std::nullopt;
    return g_value_get_double(number.Get());
}

void WriteNumber(GstElement* element, const GParamSpec* property, double number) {
    TGValue given(G_TYPE_DOUBLE);
    g_value_set_double(given.Get(), IsIntegral(property) ? std::round(number) : number);
    TGValue value(G_PARAM_SPEC_VALUE_TYPE(property));
    if (!g_value_transform(given.Get(), value.Get()))
        return;
    g_param_value_validate(const_cast<GParamSpec*>(property), value.Get());
    g_object_set_property(G_OBJECT(element), property->name, value.Get());
}

TPropertyValues TPropertyValues::Read(GstElement* element,
                                      const std::vector<GParamSpec*>& properties) {
    TPropertyValues values;
    for (GParamSpec* property : properties)
        values.Values.emplace_back(property, ReadValue(element, property));
    return values;
}

void TPropertyValues::Restore(GstElement* element) const {
    for (const auto& [property, saved] : Values)
        if (Differs(property, ReadValue(element, property).Get(), saved.Get()))
            g_object_set_property(G_OBJECT(element), property->name, saved.Get());
}

std::string PropertyStateText(GstElement* element, const TPropertyValues& defaults) {
    std::string text;
    for (const auto& [property, byDefault] : defaults.Entries()) {
        const TGValue current = ReadValue(element, property);
        if (!Differs(property, current.Get(), byDefault.Get()))
            continue;
        if (const std::optional<std::string> value = Serialize(property, current.Get()))
            text.append(property->name).append("=").append(*value).append("\n");
    }
    return text;
}

bool ApplyPropertyStateText(GstElement* element, const TPropertyValues& defaults,
                            std::string_view text) {
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return false;
    std::vector<TStateLine> lines;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (line.empty())
            continue;
        std::optional<TStateLine> parsed = ParseStateLine(defaults, line);
        if (!parsed)
            return false;
        if (parsed->Property)
            lines.push_back(std::move(*parsed));
    }
    for (const auto& [property, byDefault] : defaults.Entries()) {
        const GValue* wanted = byDefault.Get();
        for (const TStateLine& line : lines)
            if (line.Property == property)
                wanted = line.Value.Get();
        if (Differs(property, ReadValue(element, property).Get(), wanted))
            g_object_set_property(G_OBJECT(element), property->name, wanted);
    }
    return true;
}
