// vorn_kyr::Camera: one opened camera, driven through the exported interface,
// and the free functions beside it.
#ifndef VORN_KYR_CAMERA_H
#define VORN_KYR_CAMERA_H

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "KYRCamera.h"
#include "records.h"

namespace vorn_kyr {

// How long capture waits beyond the exposure time before it gives up on a
// snapshot: far above any read-out, so only a camera that stopped answering
// reaches it.
constexpr std::chrono::seconds kCaptureMargin{30};

class Camera {
  public:
    // Opens and initialises the camera at camera_index in the list of
    // connected cameras, and reads its description and control records.
    explicit Camera(int camera_index);
    // Closes the camera; never throws.
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    const CameraInfo& get_info() const { return info; }
    // Every control with its current value, by name.
    std::map<std::string, Controllable> get_controls() const;
    void set_control(std::string name, long value);
    void set_auto(std::string name);
    // The region first, then each writable control in name order: auto mode
    // when it is set so, its value otherwise.
    void configure(ROI roi, std::map<std::string, Controllable> controls);
    ROI get_roi() const;
    void set_roi(const ROI& roi);
    void set_camera_mode(CameraMode mode);
    void set_pulse_guide_on(GuideDirection direction);
    void set_pulse_guide_off(GuideDirection direction);
    void enable_dark_substract(std::filesystem::path path);
    void disable_dark_substract();
    // One snapshot into buffer, which must hold size writable bytes.
    void capture(unsigned char* buffer, int size);
    std::string to_string() const;

  private:
    using ControlCaps = std::map<std::string, std::shared_ptr<KYR_CONTROL_CAPS>>;

    void read_control_caps(ControlCaps& caps);
    const KYR_CONTROL_CAPS& get_control_caps(const std::string& name) const;
    Controllable get_controllable(const KYR_CONTROL_CAPS& caps) const;
    KYR_EXPOSURE_STATUS get_exposition_status() const;
    void check_camera_ready() const;
    // The first status that differs from the given one; throws when the
    // deadline passes first.
    KYR_EXPOSURE_STATUS wait_for_status_change(KYR_EXPOSURE_STATUS status,
                                               std::chrono::steady_clock::time_point deadline) const;
    // Throws the CameraException of a failed exported call.
    void check(KYR_ERROR_CODE code, const std::string& message) const;

    CameraInfo info;
    int camera_index;
    ControlCaps control_caps;
};

int get_nb_cameras();
std::string get_sdk_version();
void close_camera(int camera_id);

namespace internal {
// Test hook: the margin capture waits beyond the exposure (kCaptureMargin
// unless changed).
void set_capture_margin(std::chrono::milliseconds margin);
}  // namespace internal

}  // namespace vorn_kyr

#endif
