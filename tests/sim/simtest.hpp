// Helpers of the simulator's own tests: open a simulated camera through libusb
// the way the library does, and issue its vendor requests.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <kyrsim.hpp>
#include <vector>

namespace simtest {

constexpr int kFpgaCamera = 0x832b;   // an FPGA camera of the product table
constexpr uint8_t kOut = 0x40;        // vendor request, host to device
constexpr uint8_t kIn = 0xC0;         // vendor request, device to host
constexpr unsigned kTimeoutMs = 500;  // the library's timeout for requests with data

// One libusb context of the test and the handles it opened; everything is
// released in the order the library uses (close every handle, then exit).
class Usb {
  public:
    Usb() { EXPECT_EQ(libusb_init(&ctx_), 0); }
    ~Usb() {
        for (auto* h : handles_) libusb_close(h);
        libusb_exit(ctx_);
    }
    Usb(const Usb&) = delete;
    Usb& operator=(const Usb&) = delete;

    libusb_context* ctx() const { return ctx_; }

    // Opens the camera (found by bus and address), sets configuration 1 and
    // claims interface 0; nullptr on failure.
    libusb_device_handle* open(const kyrsim::Device& dev) {
        libusb_device_handle* h = openRaw(dev);
        if (!h || libusb_set_configuration(h, 1) != 0 || libusb_claim_interface(h, 0) != 0) return nullptr;
        return h;
    }

    // Opens without configuring or claiming; nullptr on failure.
    libusb_device_handle* openRaw(const kyrsim::Device& dev) {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        libusb_device_handle* h = nullptr;
        for (ssize_t i = 0; i < n && !h; ++i)
            if (libusb_get_bus_number(list[i]) == dev.query(KYRSIM_Q_BUS) &&
                libusb_get_device_address(list[i]) == dev.query(KYRSIM_Q_ADDRESS) &&
                libusb_open(list[i], &h) != 0)
                h = nullptr;
        if (n >= 0) libusb_free_device_list(list, 1);
        if (h) handles_.push_back(h);
        return h;
    }

    void close(libusb_device_handle* h) {
        for (auto it = handles_.begin(); it != handles_.end(); ++it)
            if (*it == h) {
                handles_.erase(it);
                libusb_close(h);
                return;
            }
    }

  private:
    libusb_context* ctx_ = nullptr;
    std::vector<libusb_device_handle*> handles_;
};

inline int out(libusb_device_handle* h, int request, int value = 0, int index = 0) {
    return libusb_control_transfer(h, kOut, static_cast<uint8_t>(request), static_cast<uint16_t>(value),
                                   static_cast<uint16_t>(index), nullptr, 0, kTimeoutMs);
}

inline int outData(libusb_device_handle* h, int request, int value, int index,
                   std::vector<unsigned char> data) {
    return libusb_control_transfer(h, kOut, static_cast<uint8_t>(request), static_cast<uint16_t>(value),
                                   static_cast<uint16_t>(index), data.data(),
                                   static_cast<uint16_t>(data.size()), kTimeoutMs);
}

struct Reply {
    int result;
    std::vector<unsigned char> data;
};

inline Reply in(libusb_device_handle* h, int request, int value, int index, int length) {
    Reply r{0, std::vector<unsigned char>(static_cast<size_t>(length), 0xEE)};
    r.result = libusb_control_transfer(h, kIn, static_cast<uint8_t>(request), static_cast<uint16_t>(value),
                                       static_cast<uint16_t>(index), r.data.data(),
                                       static_cast<uint16_t>(length), kTimeoutMs);
    return r;
}

inline int writeFpga(libusb_device_handle* h, int reg, int value) { return out(h, 0xBD, reg, value); }

// The register's value, or the libusb error.
inline int readFpga(libusb_device_handle* h, int reg) {
    Reply r = in(h, 0xBC, reg, 0, 1);
    return r.result == 1 ? r.data[0] : (r.result < 0 ? r.result : -100);
}

// Writes a value spread over consecutive FPGA registers, least significant
// byte first, inside the update latch.
inline void writeFpgaWide(libusb_device_handle* h, int firstReg, long long value, int bytes) {
    writeFpga(h, 1, 1);
    for (int i = 0; i < bytes; ++i) writeFpga(h, firstReg + i, static_cast<int>((value >> (8 * i)) & 0xFF));
    writeFpga(h, 1, 0);
}

// Programs the FPGA output window the way the library's latched setters do.
inline void setWindow(libusb_device_handle* h, int width, int height, bool out16 = false) {
    writeFpga(h, 1, 1);
    writeFpga(h, 4, width & 0xFF);
    writeFpga(h, 5, width >> 8);
    writeFpga(h, 8, height & 0xFF);
    writeFpga(h, 9, height >> 8);
    writeFpga(h, 1, 0);
    writeFpga(h, 10, out16 ? 0x11 : 0x00);
}

inline long long elapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
        .count();
}

// One FPGA camera plugged and opened through the libusb calls.
class OpenedCamera : public ::testing::Test {
  protected:
    void SetUp() override {
        cam = kyrsim::plug(kFpgaCamera, 1, "1");
        h = usb.open(cam);
        ASSERT_NE(h, nullptr);
    }

    kyrsim::Scope scope;
    Usb usb;
    kyrsim::Device cam;
    libusb_device_handle* h = nullptr;
};

}  // namespace simtest
