// The Python module "bindings": the vorn_kyr layer's enums, records, camera
// and free functions, with numpy arrays as image buffers. Every call runs with
// the interpreter lock held, a whole capture included. No exception translator
// is registered: the layer's exceptions reach Python as RuntimeError with
// their text.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <string>

#include "vorn_kyr.h"

namespace py = pybind11;

namespace {

// The target of Camera.capture: one snapshot written straight into the
// caller's array. The camera writes size bytes through a plain pointer, so the
// array must be exactly what that pointer stands for: uint8 elements (no
// converted copy, which the caller would never see), writable, C-contiguous
// and at least size bytes long. Everything is checked before the camera is
// touched, so a refused array starts no exposure.
void capture_into_array(vorn_kyr::Camera& camera, const py::array& array, int size) {
    if (!array.dtype().equal(py::dtype::of<uint8_t>())) {
        throw py::type_error("capture: the image buffer must be a numpy.ndarray of dtype uint8, not " +
                             py::str(array.dtype()).cast<std::string>());
    }
    if (!array.writeable()) throw py::value_error("capture: the image buffer is read-only");
    if (!(array.flags() & py::array::c_style)) {
        throw py::value_error("capture: the image buffer must be C-contiguous");
    }
    if (size < 0) throw py::value_error("capture: size must not be negative, got " + std::to_string(size));
    const py::ssize_t nbytes = array.nbytes();
    if (size > nbytes) {
        throw py::value_error("capture: size " + std::to_string(size) + " exceeds the buffer's " +
                              std::to_string(nbytes) + " bytes");
    }
    // A writable buffer request: the pointer the camera fills. The request
    // holds a reference to the array until capture returns or throws.
    const py::buffer_info buffer = array.request(true);
    camera.capture(static_cast<unsigned char*>(buffer.ptr), size);
}

// Codes the exported error type can hold; converting any other int to it is
// undefined.
constexpr int kMaxErrorCode = KYR_ERROR_END;

vorn_kyr::CameraException make_camera_exception(std::string message, int camera_index, int code, bool udev) {
    if (code < 0 || code > kMaxErrorCode) {
        throw py::value_error("error code " + std::to_string(code) + " is not between 0 and " +
                              std::to_string(kMaxErrorCode));
    }
    return vorn_kyr::CameraException(std::move(message), camera_index, static_cast<KYR_ERROR_CODE>(code),
                                     udev);
}

}  // namespace

// Multi-phase initialisation: the entry point checks the interpreter's version
// (3.13 only) and returns the definition with its creation, execution and
// multiple-interpreters-not-supported slots; the body below runs once per
// module name the import system loads it under.
PYBIND11_MODULE(bindings, m) {
    using namespace vorn_kyr;

    m.attr("__doc__") = "vorn_kyr bindings";

    py::enum_<BayerPattern>(m, "BayerPattern")
        .value("None", BayerPattern::None)
        .value("RG", BayerPattern::RG)
        .value("BG", BayerPattern::BG)
        .value("GR", BayerPattern::GR)
        .value("GB", BayerPattern::GB);
    py::enum_<ImageType>(m, "ImageType")
        .value("raw8", ImageType::raw8)
        .value("rgb24", ImageType::rgb24)
        .value("raw16", ImageType::raw16)
        .value("y8", ImageType::y8);
    py::enum_<GuideDirection>(m, "GuideDirection")
        .value("NORTH", GuideDirection::NORTH)
        .value("SOUTH", GuideDirection::SOUTH)
        .value("EAST", GuideDirection::EAST)
        .value("WEST", GuideDirection::WEST);
    py::enum_<CameraMode>(m, "CameraMode")
        .value("normal", CameraMode::normal)
        .value("soft_edge", CameraMode::soft_edge)
        .value("rise_edge", CameraMode::rise_edge)
        .value("fall_edge", CameraMode::fall_edge)
        .value("soft_level", CameraMode::soft_level)
        .value("high_level", CameraMode::high_level)
        .value("low_level", CameraMode::low_level);

    py::class_<ControllableException>(m, "ControllableException")
        .def(py::init<std::string, long, long, long>())
        .def(py::init<std::string, bool, bool, bool>());

    py::class_<Controllable>(m, "Controllable")
        .def_readonly("name", &Controllable::name)
        .def_readonly("min_value", &Controllable::min_value)
        .def_readonly("max_value", &Controllable::max_value)
        .def_readonly("default_value", &Controllable::default_value)
        .def_readwrite("value", &Controllable::value)
        .def_readonly("is_writable", &Controllable::is_writable)
        .def_readwrite("is_auto", &Controllable::is_auto)
        .def_readonly("supports_auto", &Controllable::supports_auto);

    py::class_<ROI>(m, "ROI")
        .def(py::init<>())
        .def_readwrite("start_x", &ROI::start_x)
        .def_readwrite("start_y", &ROI::start_y)
        .def_readwrite("width", &ROI::width)
        .def_readwrite("height", &ROI::height)
        .def_readwrite("bins", &ROI::bins)
        .def_readwrite("type", &ROI::type)
        .def("valid", &ROI::valid);

    py::class_<CameraInfo>(m, "CameraInfo")
        .def_readonly("name", &CameraInfo::name)
        .def_readonly("camera_id", &CameraInfo::camera_id)
        .def_readonly("max_height", &CameraInfo::max_height)
        .def_readonly("max_width", &CameraInfo::max_width)
        .def_readonly("is_color", &CameraInfo::is_color)
        .def_readonly("bayer", &CameraInfo::bayer)
        .def_readonly("supported_bins", &CameraInfo::supported_bins)
        .def_readonly("supported_image_types", &CameraInfo::supported_image_types)
        .def_readonly("pixel_size_um", &CameraInfo::pixel_size_um)
        .def_readonly("mechanical_shutter", &CameraInfo::mechanical_shutter)
        .def_readonly("st4_port", &CameraInfo::st4_port)
        .def_readonly("has_cooler", &CameraInfo::has_cooler)
        .def_readonly("is_usb3_host", &CameraInfo::is_usb3_host)
        .def_readonly("is_usb3", &CameraInfo::is_usb3)
        .def_readonly("elec_per_adu", &CameraInfo::elec_per_adu)
        .def_readonly("bit_depth", &CameraInfo::bit_depth)
        .def_readonly("is_trigger", &CameraInfo::is_trigger);

    // The error code as a plain int: the exported error type has no Python type.
    py::class_<CameraException>(m, "CameraException").def(py::init(&make_camera_exception));

    m.def("get_nb_cameras", &get_nb_cameras);
    m.def("get_sdk_version", &get_sdk_version);
    m.def("close_camera", &close_camera);
    m.def("create_udev_file", &internal::create_udev_file);

    py::class_<Camera>(m, "Camera")
        .def(py::init<int>())
        .def("set_roi", &Camera::set_roi)
        .def("get_roi", &Camera::get_roi)
        .def("get_controls", &Camera::get_controls)
        .def("set_control", &Camera::set_control)
        .def("set_auto", &Camera::set_auto)
        .def("set_camera_mode", &Camera::set_camera_mode)
        .def("set_pulse_guide_on", &Camera::set_pulse_guide_on)
        .def("set_pulse_guide_off", &Camera::set_pulse_guide_off)
        .def("enable_dark_substract", &Camera::enable_dark_substract)
        .def("disable_dark_substract", &Camera::disable_dark_substract)
        .def("__str__", &Camera::to_string)
        .def("get_info", [](const Camera& camera) { return camera.get_info(); })
        .def("capture", &capture_into_array);
}
