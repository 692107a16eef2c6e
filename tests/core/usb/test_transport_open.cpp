// Opening the index-th of several cameras with one vendor and product ID, the
// way the camera object's open and its reconnection find their device.
#include <gtest/gtest.h>
#include <libusb.h>
#include <string.h>

#include <functional>
#include <vector>

#include "kyrsim.hpp"
#include "platform/Platform.h"

namespace {

constexpr uint16_t kVendorId = 0x2e7b;
constexpr uint16_t kProductId = 0x832b;
constexpr uint16_t kOtherProductId = 0x814b;
constexpr uint8_t kGetSerialRequest = 0xC8;

const unsigned char kSerialFirst[8] = {'F', 'I', 'R', 'S', 'T', 0, 0, 1};
const unsigned char kSerialSecond[8] = {'S', 'E', 'C', 'O', 'N', 'D', 0, 2};

// The camera's factory serial number, read through the opened handle.
std::vector<unsigned char> SerialOf(libusb_device_handle* hDevice) {
    std::vector<unsigned char> serial(8);
    int rc = libusb_control_transfer(hDevice, 0xC0, kGetSerialRequest, 0, 0, serial.data(), 8, 500);
    if (rc != 8) serial.clear();
    return serial;
}

std::vector<unsigned char> Serial(const unsigned char (&sn)[8]) {
    return std::vector<unsigned char>(sn, sn + 8);
}

// Bus, in port order: another model, the first match, a device of another
// vendor with the same product ID, the second match, another model.
class COpenByIndexTest : public ::testing::Test {
protected:
    void SetUp() override {
        kyrsim::reset();
        ASSERT_TRUE(kyrsim::plug(kOtherProductId, 1, "1").valid());

        kyrsim_device_config cfg = kyrsim::config(kProductId, 1, "2");
        memcpy(cfg.serial, kSerialFirst, 8);
        m_First = kyrsim::plug(cfg);
        ASSERT_TRUE(m_First.valid());

        cfg = kyrsim::config(kProductId, 1, "3");
        cfg.vendor_id = 0x04b4;
        m_OtherVendor = kyrsim::plug(cfg);
        ASSERT_TRUE(m_OtherVendor.valid());

        cfg = kyrsim::config(kProductId, 2, "1,4");
        memcpy(cfg.serial, kSerialSecond, 8);
        m_Second = kyrsim::plug(cfg);
        ASSERT_TRUE(m_Second.valid());

        ASSERT_TRUE(kyrsim::plug(kOtherProductId, 2, "2").valid());
        ASSERT_EQ(libusb_init(&m_pContext), 0);
    }

    void TearDown() override {
        // No device list is left outstanding on any path, nor a handle open.
        EXPECT_EQ(kyrsim_outstanding_lists(), 0);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        EXPECT_EQ(kyrsim_unexpected_count(), 0);
        EXPECT_EQ(kyrsim_overlap_count(), 0);
        libusb_exit(m_pContext);
        EXPECT_EQ(kyrsim_device_refs(), 0);
        kyrsim::reset();
    }

    // Opens index; the serial of the opened camera, or empty when null.
    std::vector<unsigned char> OpenSerial(uint8_t index) {
        libusb_device_handle* hDevice =
            libusb_open_device_with_vid_pid_index(m_pContext, kVendorId, kProductId, index);
        EXPECT_EQ(kyrsim_outstanding_lists(), 0);
        if (!hDevice) return {};
        std::vector<unsigned char> serial = SerialOf(hDevice);
        EXPECT_EQ(serial.size(), 8u);
        libusb_close(hDevice);
        return serial;
    }

    libusb_context* m_pContext = nullptr;
    kyrsim::Device m_First, m_OtherVendor, m_Second;
};

TEST_F(COpenByIndexTest, IndexCountsMatchingDevicesFromOne) {
    struct SCase {
        uint8_t ucIndex;
        std::vector<unsigned char> vecSerial;  // empty: no device
    };
    const SCase cases[] = {
        {0, {}}, {1, Serial(kSerialFirst)}, {2, Serial(kSerialSecond)}, {3, {}}, {255, {}},
    };
    for (const SCase& tc : cases) {
        SCOPED_TRACE(testing::Message() << "index " << int(tc.ucIndex));
        EXPECT_EQ(OpenSerial(tc.ucIndex), tc.vecSerial);
    }
}

// The index follows libusb's list order, which is the order enumeration saw.
TEST_F(COpenByIndexTest, IndexFollowsListOrder) {
    const int order[] = {m_Second.handle(), m_First.handle()};
    ASSERT_EQ(kyrsim_set_list_order(order, 2), 0);
    EXPECT_EQ(OpenSerial(1), Serial(kSerialSecond));
    EXPECT_EQ(OpenSerial(2), Serial(kSerialFirst));
    EXPECT_EQ(OpenSerial(3), std::vector<unsigned char>());
}

// A failure on the way gives null and frees the list.
TEST_F(COpenByIndexTest, FailuresGiveNullAndFreeTheList) {
    struct SCase {
        const char* szName;
        std::function<void()> fnInject;
        uint8_t ucIndex;
    };
    const SCase cases[] = {
        {"device list fails",
         [] { kyrsim_fail_call(KYRSIM_CALL_GET_LIST, KYRSIM_ANY, LIBUSB_ERROR_NO_MEM, 1); }, 1},
        // The descriptor of a device listed before the match cannot be read.
        {"descriptor fails before the match", [this] { m_OtherVendor.failDescriptor(LIBUSB_ERROR_IO); }, 2},
        {"descriptor of the match fails", [this] { m_First.failDescriptor(LIBUSB_ERROR_IO); }, 1},
        {"open refused", [this] { m_First.refuseOpen(LIBUSB_ERROR_ACCESS); }, 1},
        {"open of the second refused", [this] { m_Second.refuseOpen(LIBUSB_ERROR_BUSY); }, 2},
    };
    for (const SCase& tc : cases) {
        SCOPED_TRACE(tc.szName);
        tc.fnInject();
        EXPECT_EQ(OpenSerial(tc.ucIndex), std::vector<unsigned char>());
        kyrsim_fail_call(KYRSIM_CALL_GET_LIST, KYRSIM_ANY, 0, 0);
        m_First.failDescriptor(0);
        m_OtherVendor.failDescriptor(0);
        m_First.refuseOpen(0);
        m_Second.refuseOpen(0);
    }
    // With the faults gone both open again.
    EXPECT_EQ(OpenSerial(1), Serial(kSerialFirst));
    EXPECT_EQ(OpenSerial(2), Serial(kSerialSecond));
}

// A refused open of the first camera does not move the index onto the second.
TEST_F(COpenByIndexTest, RefusedOpenDoesNotFallThroughToTheNext) {
    ASSERT_TRUE(m_First.refuseOpen(LIBUSB_ERROR_ACCESS));
    EXPECT_EQ(OpenSerial(1), std::vector<unsigned char>());
    EXPECT_EQ(OpenSerial(2), Serial(kSerialSecond));
}

// An unplugged camera leaves the list; the other one moves up to index 1.
TEST_F(COpenByIndexTest, UnpluggedCameraLeavesTheCount) {
    ASSERT_TRUE(m_First.unplug());
    EXPECT_EQ(OpenSerial(1), Serial(kSerialSecond));
    EXPECT_EQ(OpenSerial(2), std::vector<unsigned char>());
}

}  // namespace
