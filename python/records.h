// The value records and enums of the vorn_kyr layer, their conversions to the
// exported interface's own types, and the reading of a camera's description.
#ifndef VORN_KYR_RECORDS_H
#define VORN_KYR_RECORDS_H

#include <string.h>

#include <set>
#include <string>

#include "KYRCamera.h"

namespace vorn_kyr {

enum class ImageType { raw8 = 0, rgb24 = 1, raw16 = 2, y8 = 3 };
enum class BayerPattern { None = 0, RG = 1, BG = 2, GR = 3, GB = 4 };
enum class CameraMode {
    normal = 0,
    soft_edge = 1,
    rise_edge = 2,
    fall_edge = 3,
    soft_level = 4,
    high_level = 5,
    low_level = 6
};
enum class GuideDirection { NORTH = 0, SOUTH = 1, EAST = 2, WEST = 3 };

IMG_TYPE get_native(ImageType type);
CAM_MODE get_native(CameraMode mode);
GuideD get_native(GuideDirection direction);

// "raw8", "rgb24", "raw16", "y8"; empty for any other value.
std::string to_string(ImageType type);
// "None", "RG", "BG", "GR", "GB"; empty for any other value.
std::string to_string(BayerPattern pattern);

// A camera's description.
struct CameraInfo {
    std::string name;
    int camera_id = 0;
    long max_height = 0;
    long max_width = 0;
    bool is_color = false;
    BayerPattern bayer = BayerPattern::None;
    std::set<int> supported_bins;
    std::set<ImageType> supported_image_types;
    double pixel_size_um = 0.0;
    bool mechanical_shutter = false;
    bool st4_port = false;
    bool has_cooler = false;
    bool is_usb3_host = false;
    bool is_usb3 = false;
    float elec_per_adu = 0.0f;
    int bit_depth = 0;
    bool is_trigger = false;

    // Eight lines: name and ID, size, flags, bayer pattern, bins, types, pixel data.
    std::string to_string() const;
};

// A region of interest: start in binned pixels, size after binning.
struct ROI {
    int start_x = 0;
    int start_y = 0;
    int width = 0;
    int height = 0;
    int bins = 0;
    ImageType type = ImageType::y8;

    // Returns when the region fits the camera; throws ROIException otherwise.
    // Start and size against the sensor are the camera's own checks.
    void valid(const CameraInfo& info) const;
};

// One control with its current value.
struct Controllable {
    std::string name;
    long min_value = 0;
    long max_value = 0;
    long default_value = 0;
    long value = 0;
    bool is_writable = false;
    bool is_auto = false;
    bool supports_auto = false;
};

namespace internal {
// The number an enum field of the exported interface holds. Its value comes
// from outside and may lie beyond the enumerators, so it is read as the int
// it is stored as.
template <class Enum>
int raw_value(const Enum& field) {
    static_assert(sizeof(Enum) == sizeof(int), "exported enums are stored as int");
    int value;
    memcpy(&value, &field, sizeof(value));
    return value;
}
}  // namespace internal

// The layer's record of an exported description.
CameraInfo to_camera_info(const KYR_CAMERA_INFO& description);

// The description of the camera at camera_index in the list of connected
// cameras; the bus is enumerated first so that the index refers to it now.
CameraInfo get_camera_info(int camera_index);

}  // namespace vorn_kyr

#endif
