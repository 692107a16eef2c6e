#include "udev.h"

#include <stdio.h>

#include <filesystem>
#include <fstream>

#include "exceptions.h"

namespace vorn_kyr {

namespace internal {

std::string run_system_command(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return "popen failed!";
    std::string output;
    char line[128];
    while (fgets(line, sizeof(line), pipe)) output += line;
    pclose(pipe);
    return output;
}

bool create_udev_file() {
    const std::filesystem::path path = std::filesystem::current_path() / kUdevFileName;
    std::ofstream file(path, std::ios::out | std::ios::trunc);
    if (!file.is_open()) return false;
    file << "ACTION==\"add\", ATTR{idVendor}==\"2e7b\", "
            "RUN+=\"/bin/sh -c '/bin/echo 200 >/sys/module/usbcore/parameters/usbfs_memory_mb'\"\n"
         << "# All KYR Cameras and filter wheels\n"
         << "SUBSYSTEMS==\"usb\", ATTR{idVendor}==\"2e7b\", MODE=\"0666\"\n";
    return true;
}

}  // namespace internal

void check_system_udev() {
    std::string output = internal::run_system_command(internal::kUsbMemoryCommand);
    // The value ends with a line feed; no output at all (the parameter file is
    // missing) is a wrong value like any other.
    if (!output.empty()) {
        output.pop_back();
        if (output == "200") return;
    }
    throw CameraException("udev error", -1, KYR_ERROR_GENERAL_ERROR, true);
}

}  // namespace vorn_kyr
