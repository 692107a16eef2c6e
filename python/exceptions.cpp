#include "exceptions.h"

#include <sstream>

#include "udev.h"

namespace vorn_kyr {

namespace {

// The enumerator name of an error code from 1 to 16; null for any other.
const char* error_name(KYR_ERROR_CODE code) {
    static const char* const kNames[] = {
        "KYR_ERROR_INVALID_INDEX",
        "KYR_ERROR_ID",
        "KYR_ERROR_INVALID_CONTROL_TYPE",
        "KYR_ERROR_CAMERA_CLOSED",
        "KYR_ERROR_CAMERA_REMOVED",
        "KYR_ERROR_INVALID_PATH",
        "KYR_ERROR_INVALID_FILEFORMAT",
        "KYR_ERROR_INVALID_SIZE",
        "KYR_ERROR_INVALID_IMGTYPE",
        "KYR_ERROR_OUTOF_BOUNDARY",
        "KYR_ERROR_TIMEOUT",
        "KYR_ERROR_INVALID_SEQUENCE",
        "KYR_ERROR_BUFFER_TOO_SMALL",
        "KYR_ERROR_VIDEO_MODE_ACTIVE",
        "KYR_ERROR_EXPOSURE_IN_PROGRESS",
        "KYR_ERROR_GENERAL_ERROR",
    };
    const int value = static_cast<int>(code);
    if (value < 1 || value > 16) return nullptr;
    return kNames[value - 1];
}

// Where the failed-attempt text sends the user: this project's own
// instructions for installing the rule by hand.
constexpr const char* kUdevInstructions = "README.md of kyrcamera, section \"Real cameras: the udev rule\"";

}  // namespace

CameraException::CameraException(std::string message, int camera_index, KYR_ERROR_CODE code, bool udev) {
    std::ostringstream out;
    if (udev) {
        const bool created = internal::create_udev_file();
        out << "KYR Camera:\n"
            << "the command '" << internal::kUsbMemoryCommand
            << "' did not return the expected value of '200' "
            << "which may indicate incorrect udev rules for the KYR camera.\n";
        if (created) {
            out << "A file '99-kyr.rules' has been created in the current directory, please run in a "
                   "terminal:\n"
                << "  sudo install 99-kyr.rules /lib/udev/rules.d\n"
                << "and reconnect the camera\n";
        } else {
            out << "There has been a failed attempt to create a '99-kyr.rules file in the current "
                   "directory.'\n"
                << "See 'install udev rule' in:\n"
                << kUdevInstructions;
        }
    } else {
        out << "KYR Camera: "
            << "(camera index: " << camera_index << ") " << message << " "
            << "(error code: " << static_cast<int>(code) << ": ";
        if (const char* name = error_name(code)) out << name << ")";
    }
    this->message = out.str();
}

ControllableException::ControllableException(std::string name, long value, long min_value, long max_value) {
    std::ostringstream out;
    out << "out of bound value for " << name << ": " << value << "is not in the range " << min_value << "; "
        << max_value;
    message = out.str();
}

ControllableException::ControllableException(std::string name, bool no_such, bool not_writable,
                                             bool no_auto) {
    std::ostringstream out;
    if (no_such) out << "no such controllable: " << name;
    if (not_writable)
        out << "failed to change the value of " << name << ": "
            << "not writable";
    if (no_auto)
        out << "failed to change the value of " << name << ": "
            << "to auto-mode (not supported)";
    message = out.str();
}

ROIException::ROIException(int value, int multiple, bool is_width) {
    std::ostringstream out;
    out << (is_width ? "ROI width%" : "ROI height%") << multiple << " should be 0 (not the case for " << value
        << ")";
    message = out.str();
}

ROIException::ROIException(int width, int height, int multiple, std::string camera) {
    std::ostringstream out;
    out << "for camera " << camera << ", "
        << "ROI width*height%" << multiple << " should be 0 (not the case for " << width << "/" << height
        << ")";
    message = out.str();
}

ROIException::ROIException(int bins) {
    std::ostringstream out;
    out << "unsupported number of bin(s): " << bins;
    message = out.str();
}

ROIException::ROIException(ImageType type) : message("unsupported image type: " + to_string(type)) {}

}  // namespace vorn_kyr
