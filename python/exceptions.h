// The exceptions of the vorn_kyr layer. Each composes its whole text in its
// constructor; the texts are part of the Python interface and kept exactly.
#ifndef VORN_KYR_EXCEPTIONS_H
#define VORN_KYR_EXCEPTIONS_H

#include <exception>
#include <string>

#include "KYRCamera.h"
#include "records.h"

namespace vorn_kyr {

// A failed call of the exported interface, or (udev true) the diagnosis of
// the USB memory limit, which writes the udev rules file first.
class CameraException : public std::exception {
  public:
    CameraException(std::string message, int camera_index, KYR_ERROR_CODE code, bool udev);
    ~CameraException() override = default;
    const char* what() const noexcept override { return message.c_str(); }

  private:
    std::string message;
};

// A request about a control that the layer refuses.
class ControllableException : public std::exception {
  public:
    ControllableException(std::string name, long value, long min_value, long max_value);
    ControllableException(std::string name, bool no_such, bool not_writable, bool no_auto);
    ~ControllableException() override = default;
    const char* what() const noexcept override { return message.c_str(); }

  private:
    std::string message;
};

// A region of interest that does not fit the camera.
class ROIException : public std::exception {
  public:
    ROIException(int value, int multiple, bool is_width);
    ROIException(int width, int height, int multiple, std::string camera);
    explicit ROIException(int bins);
    explicit ROIException(ImageType type);
    ~ROIException() override = default;
    const char* what() const noexcept override { return message.c_str(); }

  private:
    std::string message;
};

}  // namespace vorn_kyr

#endif
