#include "usb/DevPath.h"

#include <libusb.h>
#include <stdio.h>
#include <string.h>

#include <vector>

namespace {

// Appends formatted text to path while the whole stays within cap - 1
// characters; what does not fit is cut.
void AppendCut(char* path, size_t cap, size_t* pLen, const char* text) {
    size_t room = cap - 1 - *pLen;
    size_t n = strlen(text);
    if (n > room) n = room;
    memcpy(path + *pLen, text, n);
    *pLen += n;
    path[*pLen] = '\0';
}

}  // namespace

int GetDevPath(libusb_device* dev, char* path, size_t cap) {
    if (!dev || !path || cap == 0) return -1;
    if (cap > kDevPathBytes) cap = kDevPathBytes;
    path[0] = '\0';
    size_t len = 0;
    char piece[32];
    snprintf(piece, sizeof(piece), "bus%d.port:", libusb_get_bus_number(dev));
    AppendCut(path, cap, &len, piece);
    uint8_t ports[kDevPathMaxPorts];
    int n = libusb_get_port_numbers(dev, ports, kDevPathMaxPorts);
    for (int i = 0; i < n; ++i) {
        snprintf(piece, sizeof(piece), "%d,", ports[i]);
        AppendCut(path, cap, &len, piece);
    }
    return static_cast<int>(len);
}

libusb_device_handle* OpenDeviceByPath(libusb_context* ctx, uint16_t vendorId, uint16_t productId,
                                       const char* path, int iIndex) {
    if (!ctx || !path) return nullptr;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0) return nullptr;

    // Every device of the model on this path, in list order.
    std::vector<libusb_device*> matches;
    char devPath[kDevPathBytes];
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor desc;
        // A device whose descriptor cannot be read is not ours to open; the
        // others are still looked at.
        if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
        if (desc.idVendor != vendorId || desc.idProduct != productId) continue;
        if (GetDevPath(list[i], devPath, sizeof(devPath)) < 0) continue;
        if (strcmp(devPath, path) == 0) matches.push_back(list[i]);
    }

    libusb_device* chosen = nullptr;
    int nMatches = static_cast<int>(matches.size());
    if (nMatches == 1)
        chosen = matches[0];
    else if (iIndex >= 1 && iIndex <= nMatches)
        chosen = matches[iIndex - 1];

    libusb_device_handle* handle = nullptr;
    if (chosen && libusb_open(chosen, &handle) != 0) handle = nullptr;
    libusb_free_device_list(list, 1);
    return handle;
}
