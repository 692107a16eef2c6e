// The USB memory check and the udev rules file, with a fake "cat" first in
// PATH and a temporary working directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "exceptions.h"
#include "layer_fixture.h"
#include "udev.h"

namespace {

const char kRules[] =
    "ACTION==\"add\", ATTR{idVendor}==\"2e7b\", RUN+=\"/bin/sh -c '/bin/echo 200 "
    ">/sys/module/usbcore/parameters/usbfs_memory_mb'\"\n"
    "# All KYR Cameras and filter wheels\n"
    "SUBSYSTEMS==\"usb\", ATTR{idVendor}==\"2e7b\", MODE=\"0666\"\n";

const char kCreated[] =
    "KYR Camera:\n"
    "the command 'cat /sys/module/usbcore/parameters/usbfs_memory_mb' did not return the expected value of "
    "'200' which may indicate incorrect udev rules for the KYR camera.\n"
    "A file '99-kyr.rules' has been created in the current directory, please run in a terminal:\n"
    "  sudo install 99-kyr.rules /lib/udev/rules.d\n"
    "and reconnect the camera\n";

class UdevTest : public layer_test::InTempDir {
  protected:
    std::string Rules() {
        std::ifstream in(Dir() / "99-kyr.rules", std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }
    // The text check_system_udev throws, or "" when it returns.
    static std::string CheckText() {
        try {
            vorn_kyr::check_system_udev();
        } catch (const vorn_kyr::CameraException& e) {
            return e.what();
        }
        return "";
    }
};

TEST_F(UdevTest, TheRightLimitWritesNothing) {
    FakeCat("200\n");
    EXPECT_EQ(CheckText(), "");
    EXPECT_FALSE(std::filesystem::exists(Dir() / "99-kyr.rules"));
}

// Anything but exactly "200" before the line end is wrong: the rules file is
// written and the text tells how to install it. No output at all (the
// parameter file is missing) is a wrong value too, not an out-of-range error.
TEST_F(UdevTest, AWrongOrMissingLimitWritesTheRulesAndExplains) {
    for (const char* output : {"16\n", "2000\n", "200", "", "200\n\n"}) {
        std::filesystem::remove(Dir() / "99-kyr.rules");
        FakeCat(output);
        EXPECT_EQ(CheckText(), kCreated) << "output '" << output << "'";
        EXPECT_EQ(Rules(), kRules);
    }
}

TEST_F(UdevTest, AnUnwritableRulesFileGivesTheFailedAttempt) {
    FakeCat("16\n");
    BlockRulesFile();
    const std::string text = CheckText();
    EXPECT_NE(text.find("There has been a failed attempt to create a '99-kyr.rules file in the current "
                        "directory.'\nSee 'install udev rule' in:\n"),
              std::string::npos)
        << text;
    EXPECT_TRUE(std::filesystem::is_directory(Dir() / "99-kyr.rules"));
}

TEST_F(UdevTest, AnUnwritableDirectoryGivesTheFailedAttempt) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into a read-only directory (the test above covers root)";
    FakeCat("16\n");
    std::filesystem::permissions(Dir(),
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const std::string text = CheckText();
    EXPECT_NE(text.find("There has been a failed attempt"), std::string::npos) << text;
    EXPECT_FALSE(std::filesystem::exists(Dir() / "99-kyr.rules"));
}

TEST_F(UdevTest, TwoCallsLeaveThreeLines) {
    EXPECT_TRUE(vorn_kyr::internal::create_udev_file());
    EXPECT_TRUE(vorn_kyr::internal::create_udev_file());
    EXPECT_EQ(Rules(), kRules);
}

TEST_F(UdevTest, CommandOutputIsCollectedWhole) {
    // Lines longer than one read come back whole, and the exit status is not looked at.
    const std::string longLine(300, 'x');
    EXPECT_EQ(vorn_kyr::internal::run_system_command("printf '" + longLine + "\\nend\\n'; exit 3"),
              longLine + "\nend\n");
}

}  // namespace
