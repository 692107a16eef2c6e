#include "text.h"

#include <algorithm>
#include <ostream>

#include "camera.h"

namespace vorn_kyr {

namespace {

// "label: * | " or "label: - | ".
void append_flag(std::ostream& out, const char* label, bool value) {
    out << label << ": " << (value ? "* | " : "- | ");
}

std::string padded(std::string text, int width) {
    internal::fix_length(text, width);
    return text;
}

}  // namespace

namespace internal {

std::ostringstream& append_bool(std::ostringstream& stream, bool value, int width) {
    stream << (value ? "|*" : "| ");
    if (width >= 3) stream << std::string(static_cast<size_t>(width - 1), ' ');
    return stream;
}

size_t max_size(const std::vector<std::string>& strings) {
    size_t longest = 0;
    for (const std::string& s : strings) longest = std::max(longest, s.size());
    return longest;
}

void fix_length(std::string& text, int width) {
    if (width > 0 && text.size() < static_cast<size_t>(width)) text.resize(static_cast<size_t>(width), ' ');
}

void fix_lengths(std::vector<std::string>& texts, int width) {
    for (std::string& text : texts) fix_length(text, width);
}

std::string controls_table(const std::vector<Controllable>& controls) {
    std::vector<std::string> names, values, mins, maxs;
    for (const Controllable& c : controls) {
        names.push_back(c.name);
        values.push_back(std::to_string(c.value));
        mins.push_back(std::to_string(c.min_value));
        maxs.push_back(std::to_string(c.max_value));
    }
    const int w1 = static_cast<int>(max_size(names)) + 4;
    const int w2 = static_cast<int>(max_size(values)) + 2;
    const int w3 = static_cast<int>(max_size(mins)) + 2;
    const int w4 = static_cast<int>(max_size(maxs)) + 2;
    fix_lengths(names, w1);
    fix_lengths(values, w2);
    fix_lengths(mins, w3);
    fix_lengths(maxs, w4);

    std::ostringstream out;
    // The rows follow a minimum cell with five characters where the header
    // has two, so "min value" is padded three wider to keep the bars aligned.
    out << "|" << padded("controllable", w1) << "|" << padded("value", w2) << " |"
        << padded("min value", w3 + 3) << " |" << padded("max value", w4)
        << " |auto-mode  |in auto-mode  |writable\n--\n";
    for (size_t i = 0; i < controls.size(); ++i) {
        out << "|" << names[i] << "|" << values[i] << " |" << mins[i] << "    |" << maxs[i] << " ";
        append_bool(out, controls[i].supports_auto, 11);
        append_bool(out, controls[i].is_auto, 14);
        append_bool(out, controls[i].is_writable, -1);
        out << std::endl;
    }
    return out.str();
}

}  // namespace internal

std::string CameraInfo::to_string() const {
    std::ostringstream out;
    out << name << " (id: " << camera_id << ")" << std::endl;
    out << "max heigth: (" << max_height << ") | max width: (" << max_width << ") |" << std::endl;
    append_flag(out, "colored", is_color);
    append_flag(out, "mechanical shuttger", mechanical_shutter);
    append_flag(out, "st4 port", st4_port);
    out << std::endl;
    append_flag(out, "has cooler", has_cooler);
    append_flag(out, "is usb3 host", is_usb3_host);
    append_flag(out, "is usb3", is_usb3);
    out << std::endl;
    append_flag(out, "is triggered camera", is_trigger);
    out << "bayer pattern: " << vorn_kyr::to_string(bayer) << std::endl;
    out << "supported bins: ";
    for (int bin : supported_bins) out << bin << " ";
    out << std::endl;
    out << "supported image types: ";
    for (ImageType type : supported_image_types) out << vorn_kyr::to_string(type) << " ";
    out << std::endl;
    out << "pixel size (um): " << pixel_size_um << " | "
        << "elec per ADU: " << elec_per_adu << " | "
        << "bit depth: " << bit_depth << std::endl;
    return out.str();
}

std::string Camera::to_string() const {
    std::vector<Controllable> controls;
    for (const auto& entry : get_controls()) controls.push_back(entry.second);
    std::ostringstream out;
    out << std::endl;
    out << "(kyr sdk: " << get_sdk_version() << ")" << std::endl;
    out << info.to_string();
    out << std::endl;
    out << internal::controls_table(controls);
    return out.str();
}

}  // namespace vorn_kyr
