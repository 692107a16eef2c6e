// The check of the kernel's USB file-system memory limit, and the udev rules
// file that raises it to 200 MB and opens the cameras to every user.
#ifndef VORN_KYR_UDEV_H
#define VORN_KYR_UDEV_H

#include <string>

namespace vorn_kyr {

namespace internal {

// The rules file's name, written into the current directory.
constexpr const char* kUdevFileName = "99-kyr.rules";
// The command whose output is the limit in MB.
constexpr const char* kUsbMemoryCommand = "cat /sys/module/usbcore/parameters/usbfs_memory_mb";

// Standard output of the command run through the shell; "popen failed!" when
// it cannot be started. The exit status is not looked at.
std::string run_system_command(const std::string& command);

// Writes the three-line rules file into the current directory; true when the
// file could be opened for writing.
bool create_udev_file();

}  // namespace internal

// Returns when the limit is 200; otherwise writes the rules file and throws
// the udev CameraException, which tells how to install it.
void check_system_udev();

}  // namespace vorn_kyr

#endif
