// The sensor hold check of the test support follows the simulated camera's
// profile: the 832's hold register, or none, where every listed write counts
// as unheld and that is no misuse.
#include <gtest/gtest.h>
#include <libusb.h>

#include <vector>

#include "HoldCheck.h"
#include "kyrsim.hpp"

namespace {

// Writes sensor byte registers through the USB side, as a driver would.
class HoldCheckTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(libusb_init(&m_ctx), 0); }
    void TearDown() override {
        for (libusb_device_handle* h : m_open) libusb_close(h);
        libusb_exit(m_ctx);
    }

    // Opens the only camera plugged.
    libusb_device_handle* OpenOnly() {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(m_ctx, &list);
        libusb_device_handle* h = nullptr;
        if (n == 1 && libusb_open(list[0], &h) != 0) h = nullptr;
        libusb_free_device_list(list, 1);
        if (h) m_open.push_back(h);
        return h;
    }

    static void WriteSensor(libusb_device_handle* h, int reg, int value) {
        ASSERT_EQ(libusb_control_transfer(h, 0x40, 0xB6, static_cast<uint16_t>(reg),
                                          static_cast<uint16_t>(value), nullptr, 0, 1000),
                  0);
    }

    kyrsim::Scope m_scope;
    libusb_context* m_ctx = nullptr;
    std::vector<libusb_device_handle*> m_open;
};

// The hold check follows the camera's profile: the 832's hold register, or
// none, where every listed write counts as unheld and that is no misuse.
TEST_F(HoldCheckTest, FollowsTheProfilesHoldRegister) {
    const std::vector<uint16_t> listed = {0x303C, 0x303D};
    kyrsim_profile p{};
    ASSERT_EQ(kyrsim_get_profile(0x826e, &p), 0);
    EXPECT_EQ(p.hold_reg, KYRSIM_NONE);
    kyrsim::Device plain = kyrsim::plug(0x826e, 1, "1");
    libusb_device_handle* h = OpenOnly();
    ASSERT_NE(h, nullptr);
    for (int reg : {0x3001, 0x303C, 0x303D, 0x3001}) WriteSensor(h, reg, reg == 0x3001 ? 1 : 7);
    const SHoldReport none = CheckHolds(plain.handle(), listed);
    EXPECT_TRUE(none.bNoHold);
    EXPECT_EQ(none.unheld.size(), 2u);
    EXPECT_EQ(none.iHolds, 0);
    EXPECT_FALSE(none.bLeftSet);
    EXPECT_TRUE(none.Clean()) << none.Text();
    ASSERT_TRUE(plain.unplug());

    kyrsim::Device s832 = kyrsim::plug(0x832b, 1, "2");
    libusb_device_handle* h2 = OpenOnly();
    ASSERT_NE(h2, nullptr);
    const struct {
        std::vector<int> regs;  // 0x3001 toggles the hold
        bool clean;
    } cases[] = {{{0x3001, 0x303C, 0x303D, 0x3001}, true}, {{0x303C, 0x3001, 0x303D, 0x3001}, false}};
    for (const auto& c : cases) {
        const int from = kyrsim_log_count();
        bool held = false;
        for (int reg : c.regs) {
            if (reg == 0x3001) held = !held;
            WriteSensor(h2, reg, reg == 0x3001 ? (held ? 1 : 0) : 7);
        }
        const SHoldReport r = CheckHolds(s832.handle(), listed, kProfileHoldReg, from);
        EXPECT_FALSE(r.bNoHold);
        EXPECT_EQ(r.iHolds, 1);
        EXPECT_EQ(r.Clean(), c.clean) << r.Text();
    }
}

}  // namespace
