// The simulated camera's temperature: the thermistor's curve through its
// published points, and a cooler that cools in model time as the drive, the
// fan and the heater say.
#include <cmath>
#include <vector>

#include "simtest.hpp"

using namespace simtest;

namespace {

class Cooler : public OpenedCamera {
  protected:
    static constexpr long long kTauUs = 90000000;  // the default time constant

    // Lets the temperature settle (20 time constants).
    void Settle() { kyrsim::advanceModelTime(20 * kTauUs); }
};

// The 12-bit converter's count gives back the thermistor's resistance
// against 10 kOhm; at the published points it is the published value, to
// the converter's resolution.
TEST_F(Cooler, ThermistorFollowsThePublishedPoints) {
    struct Point {
        double celsius;
        double kOhm;
    } points[] = {{-49, 480.707}, {0, 32.7421}, {25, 10.0}, {50, 3.5893}, {100, 0.6727}, {113, 0.4654}};
    for (const Point& p : points) {
        SCOPED_TRACE(p.celsius);
        ASSERT_TRUE(cam.setTemperature(p.celsius));
        Reply r = in(h, 0xC7, 0, 0, 2);
        const int adc = r.data[1] * 16 + (r.data[0] >> 4);
        EXPECT_EQ(adc, std::lround(4096 * p.kOhm / (p.kOhm + 10.0)));
    }
}

TEST_F(Cooler, SettlesBelowAmbientByTheDrivesPower) {
    ASSERT_TRUE(cam.setAmbient(20.0));
    ASSERT_TRUE(cam.setTemperature(20.0));
    EXPECT_EQ(cam.coolerDrive(), 255);  // off at power-on
    Settle();
    EXPECT_NEAR(cam.temperature(), 20.0, 0.01);

    struct Case {
        int da;
        double power;
    } cases[] = {{40, 6.01}, {20, 6.4}, {160, 3.15}, {150, 3.425}, {255, 0.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.da);
        ASSERT_EQ(out(h, 0xB2, c.da), 0);
        EXPECT_EQ(cam.coolerDrive(), c.da);
        Settle();
        EXPECT_NEAR(cam.temperature(), 20.0 - 40.0 * c.power / 6.4, 0.01);
    }
}

TEST_F(Cooler, FirstOrderResponseWithItsTimeConstant) {
    ASSERT_TRUE(cam.setAmbient(20.0));
    ASSERT_TRUE(cam.setTemperature(20.0));
    ASSERT_EQ(out(h, 0xB2, 20), 0);  // full power: settles at -20
    kyrsim::advanceModelTime(kTauUs);
    EXPECT_NEAR(cam.temperature(), -20.0 + 40.0 * std::exp(-1.0), 0.01);

    ASSERT_TRUE(cam.setCoolerTimeConstantMs(180000));
    ASSERT_TRUE(cam.setTemperature(20.0));
    kyrsim::advanceModelTime(kTauUs);  // half a time constant now
    EXPECT_NEAR(cam.temperature(), -20.0 + 40.0 * std::exp(-0.5), 0.01);

    // Setting the temperature is a jump at once, from which it settles again.
    ASSERT_TRUE(cam.setTemperature(cam.temperature() + 5.0));
    const double jumped = cam.temperature();
    kyrsim::advanceModelTime(1000);
    EXPECT_NEAR(cam.temperature(), jumped, 0.01);
}

TEST_F(Cooler, FanOffHalvesTheCoolingAndTheHeaterWarms) {
    ASSERT_TRUE(cam.setAmbient(20.0));
    ASSERT_EQ(out(h, 0xB2, 20), 0);
    ASSERT_EQ(writeFpga(h, 25, 0x80), 0);  // fan off
    Settle();
    EXPECT_NEAR(cam.temperature(), 0.0, 0.01);
    ASSERT_EQ(writeFpga(h, 25, 0xC0), 0);  // and the heater on
    Settle();
    EXPECT_NEAR(cam.temperature(), 0.5, 0.01);
    ASSERT_EQ(writeFpga(h, 25, 0x40), 0);
    Settle();
    EXPECT_NEAR(cam.temperature(), -19.5, 0.01);
}

// Register 38 drives the cooler too, counting the other way; the last of the
// two written is in force.
TEST_F(Cooler, RegisterDriveAndTheLastWriteWins) {
    struct Case {
        int value;
        int da;
    } cases[] = {{14, 255}, {15, 255}, {199, 40}, {220, 16}, {255, 0}};
    for (const Case& c : cases) {
        ASSERT_EQ(writeFpga(h, 38, c.value), 0);
        EXPECT_EQ(cam.coolerDrive(), c.da) << c.value;
    }
    ASSERT_EQ(out(h, 0xB2, 120), 0);
    EXPECT_EQ(cam.coolerDrive(), 120);
    EXPECT_EQ(cam.query(KYRSIM_Q_COOLER_DA), 120);
    ASSERT_EQ(writeFpga(h, 38, 199), 0);
    EXPECT_EQ(cam.coolerDrive(), 40);
    EXPECT_EQ(cam.query(KYRSIM_Q_COOLER_DA), 120);  // the last request's value stays readable
}

// Model time moves every plugged camera on its own drive.
TEST_F(Cooler, EachCameraCoolsOnItsOwnDrive) {
    kyrsim::Device other = kyrsim::plug(kFpgaCamera, 1, "2");
    libusb_device_handle* h2 = usb.open(other);
    ASSERT_NE(h2, nullptr);
    for (const auto& d : {cam, other}) {
        ASSERT_TRUE(d.setAmbient(25.0));
        ASSERT_TRUE(d.setTemperature(25.0));
    }
    ASSERT_EQ(out(h, 0xB2, 20), 0);
    Settle();
    EXPECT_NEAR(cam.temperature(), -15.0, 0.01);
    EXPECT_NEAR(other.temperature(), 25.0, 0.01);
}

}  // namespace
