// Shared fixture of the USB transport tests: one simulated FPGA camera, opened
// the way the camera object's open does it (open by index, configuration 1,
// interface 0), handed to a CCameraFX3.
#ifndef KYR_TEST_TRANSPORT_FIXTURE_H
#define KYR_TEST_TRANSPORT_FIXTURE_H

#include <gtest/gtest.h>
#include <libusb.h>

#include <memory>
#include <vector>

#include "Fx3Fixture.h"
#include "kyrsim.hpp"
#include "platform/Log.h"
#include "platform/Platform.h"
#include "usb/CameraFX3.h"

namespace transport_test {

constexpr uint16_t kVendorId = 0x2e7b;
constexpr uint16_t kProductId = 0x832b;  // an FPGA camera of the second generation

// What one logged control request must look like.
struct SExpectedRequest {
    int iRequestType;
    int iRequest;
    int iValue;
    int iIndex;
    int iLength;
    unsigned int uTimeoutMs;
};

inline SExpectedRequest OutShort(int request) { return {0x40, request, 0, 0, 0, 200}; }
inline SExpectedRequest Out(int request, int value, int index, int length = 0) {
    return {0x40, request, value, index, length, 500};
}
inline SExpectedRequest In(int request, int value, int index, int length) {
    return {0xC0, request, value, index, length, 500};
}

inline void ExpectRequests(const std::vector<kyrsim::Request>& log,
                           const std::vector<SExpectedRequest>& expected) {
    ASSERT_EQ(log.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "request " << i);
        EXPECT_EQ(log[i].request_type, expected[i].iRequestType);
        EXPECT_EQ(log[i].request, expected[i].iRequest);
        EXPECT_EQ(log[i].value, expected[i].iValue);
        EXPECT_EQ(log[i].index, expected[i].iIndex);
        EXPECT_EQ(log[i].length, expected[i].iLength);
        EXPECT_EQ(log[i].timeout, expected[i].uTimeoutMs);
    }
}

class CTransportTest : public CFx3DeviceTest {
protected:
    void TearDown() override {
        // No request the camera refused and no two control transfers inside the
        // camera at once, in any transport test.
        EXPECT_EQ(kyrsim_unexpected_count(), 0);
        EXPECT_EQ(kyrsim_overlap_count(), 0);
        CFx3DeviceTest::TearDown();
    }
};

}  // namespace transport_test

#endif
