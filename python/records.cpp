#include "records.h"

#include <string.h>

#include "camera.h"
#include "exceptions.h"

namespace vorn_kyr {

namespace {
constexpr int kMaxBins = 16;
constexpr int kMaxImageTypes = 8;
}  // namespace

IMG_TYPE get_native(ImageType type) { return static_cast<IMG_TYPE>(static_cast<int>(type)); }
CAM_MODE get_native(CameraMode mode) { return static_cast<CAM_MODE>(static_cast<int>(mode)); }
GuideD get_native(GuideDirection direction) { return static_cast<GuideD>(static_cast<int>(direction)); }

std::string to_string(ImageType type) {
    switch (type) {
        case ImageType::raw8:
            return "raw8";
        case ImageType::rgb24:
            return "rgb24";
        case ImageType::raw16:
            return "raw16";
        case ImageType::y8:
            return "y8";
    }
    return "";
}

std::string to_string(BayerPattern pattern) {
    switch (pattern) {
        case BayerPattern::None:
            return "None";
        case BayerPattern::RG:
            return "RG";
        case BayerPattern::BG:
            return "BG";
        case BayerPattern::GR:
            return "GR";
        case BayerPattern::GB:
            return "GB";
    }
    return "";
}

CameraInfo to_camera_info(const KYR_CAMERA_INFO& d) {
    using internal::raw_value;
    CameraInfo info;
    info.name.assign(d.name, strnlen(d.name, sizeof(d.name)));
    info.camera_id = d.camera_id;
    info.max_height = d.max_height;
    info.max_width = d.max_width;
    info.is_color = raw_value(d.is_color) == KYR_TRUE;
    const int bayer = raw_value(d.bayer);
    info.bayer =
        bayer >= BAYER_RG && bayer <= BAYER_GB ? static_cast<BayerPattern>(bayer + 1) : BayerPattern::None;
    for (int i = 0; i < kMaxBins && d.supported_bins[i] != 0; ++i)
        info.supported_bins.insert(d.supported_bins[i]);
    for (int i = 0; i < kMaxImageTypes && raw_value(d.supported_image_types[i]) != IMG_END; ++i) {
        const int type = raw_value(d.supported_image_types[i]);
        if (type >= IMG_RAW8 && type <= IMG_Y8)
            info.supported_image_types.insert(static_cast<ImageType>(type));
    }
    info.pixel_size_um = d.pixel_size_um;
    info.mechanical_shutter = raw_value(d.mechanical_shutter) != 0;
    info.st4_port = raw_value(d.st4_port) == KYR_TRUE;
    info.has_cooler = raw_value(d.has_cooler) == KYR_TRUE;
    info.is_usb3_host = raw_value(d.is_usb3_host) == KYR_TRUE;
    info.is_usb3 = raw_value(d.is_usb3) == KYR_TRUE;
    info.elec_per_adu = d.elec_per_adu;
    info.bit_depth = d.bit_depth;
    info.is_trigger = raw_value(d.is_trigger) == KYR_TRUE;
    return info;
}

CameraInfo get_camera_info(int camera_index) {
    get_nb_cameras();
    KYR_CAMERA_INFO description{};
    const KYR_ERROR_CODE code = KYRGetCameraProperty(&description, camera_index);
    if (code != KYR_SUCCESS) throw CameraException("failed to read camera infos", camera_index, code, false);
    return to_camera_info(description);
}

void ROI::valid(const CameraInfo& info) const {
    if (width % 8 != 0) throw ROIException(width, 8, true);
    if (height % 2 != 0) throw ROIException(height, 2, false);
    // The KYR810 on USB 2 moves whole kilobytes; its drivers refuse other
    // pixel counts themselves. Counted in 64 bits so no size overflows.
    if (info.name == "KYR810" && !info.is_usb3 && static_cast<long long>(width) * height % 1024 != 0)
        throw ROIException(width, height, 1024, "KYR810");
    if (info.supported_bins.count(bins) == 0) throw ROIException(bins);
    if (info.supported_image_types.count(type) == 0) throw ROIException(type);
}

}  // namespace vorn_kyr
