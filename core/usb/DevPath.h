// USB port paths: the text that names where a device sits on the bus,
// "bus<n>.port:" followed by "<p>," for each port number from the root, for
// example "bus1.port:1,3,". Camera IDs stay bound to a port path, and a camera
// object reopens its device by the path it was opened with, so that after an
// unplug and replug a different camera of the same model is never taken for it.
#ifndef KYR_DEVPATH_H
#define KYR_DEVPATH_H

#include <stddef.h>
#include <stdint.h>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

// Size of every port-path buffer (the camera object's m_pDevPath and the
// camera-ID tables): the text is at most 511 characters.
constexpr size_t kDevPathBytes = 512;
// Port numbers read from a device's chain; USB allows 7 hubs below the root.
constexpr int kDevPathMaxPorts = 8;

// Writes the port path of dev into path (capacity cap, at most kDevPathBytes
// used): "bus%d.port:" and "%d," per port number. A device whose port numbers
// cannot be read gets "bus%d.port:" alone. The text is cut, never overrun, when
// cap is small. Returns the length written, or -1 when dev or path is null or
// cap is 0.
int GetDevPath(libusb_device* dev, char* path, size_t cap);

// Opens the device with the vendor and product ID whose port path equals path.
// Several devices can share a path only when their port numbers cannot be
// read; iIndex (from 1, in list order) picks among those, and is not looked at
// when exactly one device has the path. Null when no device matches, the index
// is out of range, the list cannot be read, or the open is refused.
libusb_device_handle* OpenDeviceByPath(libusb_context* ctx, uint16_t vendorId, uint16_t productId,
                                       const char* path, int iIndex);

#endif
