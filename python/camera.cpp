#include "camera.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "exceptions.h"

namespace vorn_kyr {

namespace {

// The exposure status is polled this often, so capture returns within about
// half a millisecond of the exposure's end.
constexpr useconds_t kStatusPollUs = 500;

std::atomic<long long> g_captureMarginMs{std::chrono::milliseconds(kCaptureMargin).count()};

}  // namespace

namespace internal {
void set_capture_margin(std::chrono::milliseconds margin) { g_captureMarginMs = margin.count(); }
}  // namespace internal

int get_nb_cameras() { return KYRGetNumOfConnectedCameras(); }

std::string get_sdk_version() {
    const char* version = KYRGetSDKVersion();
    return version ? std::string(version) : std::string();
}

void close_camera(int camera_id) {
    const KYR_ERROR_CODE code = KYRCloseCamera(camera_id);
    if (code != KYR_SUCCESS) throw CameraException("failed to close the camera", camera_id, code, false);
}

Camera::Camera(int camera_index) : info(get_camera_info(camera_index)), camera_index(camera_index) {
    check(KYROpenCamera(info.camera_id), "failed to open the camera");
    // Once open, a failure must not leave the camera open with its threads
    // running and no object to close it.
    try {
        check(KYRInitCamera(info.camera_id), "failed to init the camera");
        read_control_caps(control_caps);
    } catch (...) {
        KYRCloseCamera(info.camera_id);
        throw;
    }
}

Camera::~Camera() { KYRCloseCamera(info.camera_id); }

void Camera::check(KYR_ERROR_CODE code, const std::string& message) const {
    if (code != KYR_SUCCESS) throw CameraException(message, camera_index, code, false);
}

void Camera::read_control_caps(ControlCaps& caps) {
    int count = 0;
    check(KYRGetNumOfControls(info.camera_id, &count),
          "failed to read the number of controllable parameters");
    for (int i = 0; i < count; ++i) {
        auto record = std::make_shared<KYR_CONTROL_CAPS>();
        memset(record.get(), 0, sizeof(KYR_CONTROL_CAPS));
        check(KYRGetControlCaps(info.camera_id, i, record.get()),
              "failed to get parameter value for controllable " + std::to_string(i));
        caps[std::string(record->name, strnlen(record->name, sizeof(record->name)))] = record;
    }
}

const KYR_CONTROL_CAPS& Camera::get_control_caps(const std::string& name) const {
    auto it = control_caps.find(name);
    if (it == control_caps.end()) throw ControllableException(name, true, false, false);
    return *it->second;
}

Controllable Camera::get_controllable(const KYR_CONTROL_CAPS& caps) const {
    Controllable control;
    control.name.assign(caps.name, strnlen(caps.name, sizeof(caps.name)));
    long value = 0;
    KYR_BOOL is_auto = KYR_FALSE;
    check(KYRGetControlValue(info.camera_id, caps.control_type, &value, &is_auto),
          "failed to read values for parameter " + control.name);
    control.min_value = caps.min_value;
    control.max_value = caps.max_value;
    control.default_value = caps.default_value;
    control.value = value;
    control.is_auto = internal::raw_value(is_auto) == KYR_TRUE;
    control.is_writable = internal::raw_value(caps.is_writable) != 0;
    control.supports_auto = internal::raw_value(caps.supports_auto) != 0;
    return control;
}

std::map<std::string, Controllable> Camera::get_controls() const {
    std::map<std::string, Controllable> controls;
    for (const auto& entry : control_caps) controls[entry.first] = get_controllable(*entry.second);
    return controls;
}

void Camera::set_control(std::string name, long value) {
    const KYR_CONTROL_CAPS& caps = get_control_caps(name);
    get_controllable(caps);
    check(KYRSetControlValue(info.camera_id, caps.control_type, value, KYR_FALSE),
          "failed to set values for controllable: " + name);
}

void Camera::set_auto(std::string name) {
    const KYR_CONTROL_CAPS& caps = get_control_caps(name);
    const Controllable control = get_controllable(caps);
    if (!control.supports_auto) throw ControllableException(name, false, false, true);
    check(KYRSetControlValue(info.camera_id, caps.control_type, control.value, KYR_TRUE),
          "failed to set auto-mode for controllable: " + name);
}

void Camera::configure(ROI roi, std::map<std::string, Controllable> controls) {
    set_roi(roi);
    for (const auto& entry : controls) {
        if (!entry.second.is_writable) continue;
        if (entry.second.is_auto)
            set_auto(entry.first);
        else
            set_control(entry.first, entry.second.value);
    }
}

ROI Camera::get_roi() const {
    ROI roi;
    IMG_TYPE type = IMG_Y8;
    check(KYRGetROIFormat(info.camera_id, &roi.width, &roi.height, &roi.bins, &type),
          "failed to read the current ROI");
    const int value = internal::raw_value(type);
    roi.type = value >= IMG_RAW8 && value <= IMG_Y8 ? static_cast<ImageType>(value) : ImageType::y8;
    // The start too, so that set_roi(get_roi()) leaves the window where it is.
    check(KYRGetStartPos(info.camera_id, &roi.start_x, &roi.start_y), "failed to read the current ROI");
    return roi;
}

void Camera::set_roi(const ROI& roi) {
    roi.valid(info);
    check(KYRSetROIFormat(info.camera_id, roi.width, roi.height, roi.bins, get_native(roi.type)),
          "failed to set the ROI");
    check(KYRSetStartPos(info.camera_id, roi.start_x, roi.start_y),
          "failed to set the ROI starting position");
}

void Camera::set_camera_mode(CameraMode mode) {
    check(KYRSetCameraMode(info.camera_id, get_native(mode)), "failed to set camera mode");
}

void Camera::set_pulse_guide_on(GuideDirection direction) {
    check(KYRPulseGuideOn(info.camera_id, get_native(direction)), "failed to set pulse guide on");
}

void Camera::set_pulse_guide_off(GuideDirection direction) {
    check(KYRPulseGuideOff(info.camera_id, get_native(direction)), "failed to set off pulse guide");
}

void Camera::enable_dark_substract(std::filesystem::path path) {
    if (!std::filesystem::exists(std::filesystem::status(path))) {
        std::ostringstream text;
        text << "file not found: " << path;  // the quoted form, '"' and '\' escaped
        throw std::runtime_error(text.str());
    }
    const std::string native = path.string();
    std::vector<char> chars(native.begin(), native.end());
    chars.push_back('\0');
    check(KYREnableDarkSubtract(info.camera_id, chars.data()), "failed to enable dark substract");
}

void Camera::disable_dark_substract() {
    check(KYRDisableDarkSubtract(info.camera_id), "failed to disable dark substract");
}

KYR_EXPOSURE_STATUS Camera::get_exposition_status() const {
    KYR_EXPOSURE_STATUS status = KYR_EXP_IDLE;
    check(KYRGetExpStatus(info.camera_id, &status), "failed to read the exposure status");
    return status;
}

void Camera::check_camera_ready() const {
    // Only an exposure in progress is busy: the result a finished one left
    // behind, success or failure, never blocks the next.
    if (get_exposition_status() == KYR_EXP_WORKING)
        throw std::runtime_error("could not take a picture: camera busy");
}

KYR_EXPOSURE_STATUS Camera::wait_for_status_change(KYR_EXPOSURE_STATUS status,
                                                   std::chrono::steady_clock::time_point deadline) const {
    for (;;) {
        const KYR_EXPOSURE_STATUS now = get_exposition_status();
        if (now != status) return now;
        if (std::chrono::steady_clock::now() >= deadline) {
            KYRStopExposure(info.camera_id);
            throw std::runtime_error("failed to get exposure: timed out");
        }
        usleep(kStatusPollUs);
    }
}

void Camera::capture(unsigned char* buffer, int size) {
    check_camera_ready();
    // The snapshot must end within its exposure plus the margin; a camera
    // that never reports the end would otherwise hold the caller for ever.
    long exposure_us = 0;
    KYR_BOOL is_auto = KYR_FALSE;
    check(KYRGetControlValue(info.camera_id, KYR_EXPOSURE, &exposure_us, &is_auto),
          "failed to read values for parameter Exposure");
    check(KYRStartExposure(info.camera_id, KYR_FALSE), "failed to start exposure");
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::microseconds(std::max(exposure_us, 0L)) +
                          std::chrono::milliseconds(g_captureMarginMs.load());
    wait_for_status_change(KYR_EXP_IDLE, deadline);
    const KYR_EXPOSURE_STATUS status = wait_for_status_change(KYR_EXP_WORKING, deadline);
    if (status == KYR_EXP_FAILED) throw std::runtime_error("failed to get exposure");
    check(KYRGetDataAfterExp(info.camera_id, buffer, size), "failed to read image after capture");
}

}  // namespace vorn_kyr
