// Opening a camera object's device by its port path, reconnecting after the
// camera went away, and the port-path text itself.
#include <gtest/gtest.h>
#include <libusb.h>

#include <string>
#include <thread>

#include "test_camera_fixture.h"
#include "usb/DevPath.h"

using namespace camera_test;

using CameraOpenTest = CCameraTest;

namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Runs f and returns what it wrote to standard error.
template <class F>
std::string StderrOf(F&& f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

}  // namespace

// ---- Port paths ------------------------------------------------------------------

TEST_F(CameraOpenTest, DevPathHasBusThenEveryPortWithTrailingComma) {
    const struct {
        int bus;
        const char* ports;
        const char* path;
    } cases[] = {
        {1, "1,3", "bus1.port:1,3,"},
        {2, "4", "bus2.port:4,"},
        {3, "", "bus3.port:"},
        {255, "1,2,3,4,5,6,7", "bus255.port:1,2,3,4,5,6,7,"},
        {4, "200,17", "bus4.port:200,17,"},
    };
    for (const auto& c : cases) kyrsim::plug(CTestDriver::kProductID, c.bus, c.ports);

    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    ASSERT_EQ(n, static_cast<ssize_t>(sizeof(cases) / sizeof(cases[0])));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        bool found = false;
        for (ssize_t i = 0; i < n; ++i) {
            if (libusb_get_bus_number(list[i]) != c.bus) continue;
            found = true;
            char path[kDevPathBytes];
            memset(path, 'x', sizeof(path));
            EXPECT_EQ(GetDevPath(list[i], path, sizeof(path)), static_cast<int>(strlen(c.path)));
            EXPECT_STREQ(path, c.path);
        }
        EXPECT_TRUE(found);
    }

    // A small buffer gets the text cut, terminated, and nothing beyond it.
    char small[8];
    memset(small, 'x', sizeof(small));
    EXPECT_EQ(GetDevPath(list[0], small, 6), 5);
    EXPECT_EQ(std::string(small, 5), std::string(PathOf(libusb_get_bus_number(list[0]), "")).substr(0, 5));
    EXPECT_EQ(small[5], '\0');
    EXPECT_EQ(small[6], 'x');
    EXPECT_EQ(GetDevPath(nullptr, small, sizeof(small)), -1);
    EXPECT_EQ(GetDevPath(list[0], nullptr, sizeof(small)), -1);
    EXPECT_EQ(GetDevPath(list[0], small, 0), -1);

    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
}

TEST_F(CameraOpenTest, OpenDeviceByPathPicksByPathAndIndexOnlyAmongSharers) {
    kyrsim::Device a = PlugCamera(1, "1", MakeSerial(1));
    kyrsim::Device b = PlugCamera(1, "2", MakeSerial(2));
    // Two cameras whose port numbers cannot be read share "bus2.port:".
    kyrsim::Device c = PlugCamera(2, "", MakeSerial(3));
    kyrsim::Device d = PlugCamera(2, "", MakeSerial(4));
    int order[] = {b.handle(), d.handle(), a.handle(), c.handle()};
    ASSERT_EQ(kyrsim_set_list_order(order, 4), 0);

    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    const struct {
        std::string path;
        int index;
        int expected;  // simulator handle, or -1 for none
    } cases[] = {
        {PathOf(1, "1"), 1, a.handle()},
        {PathOf(1, "1"), 2, a.handle()},  // a single device with the path: the index does not matter
        {PathOf(1, "2"), 1, b.handle()},
        {PathOf(2, ""), 1, d.handle()},  // list order among the sharers
        {PathOf(2, ""), 2, c.handle()},
        {PathOf(2, ""), 3, -1},
        {PathOf(2, ""), 0, -1},
        {PathOf(1, "3"), 1, -1},
        {"", 1, -1},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(testing::Message() << cs.path << " #" << cs.index);
        int before = kyrsim_open_handles();
        libusb_device_handle* h =
            OpenDeviceByPath(ctx, CTestDriver::kVendorID, CTestDriver::kProductID, cs.path.c_str(), cs.index);
        if (cs.expected < 0) {
            EXPECT_EQ(h, nullptr);
            EXPECT_EQ(kyrsim_open_handles(), before);
        } else {
            ASSERT_NE(h, nullptr);
            EXPECT_EQ(kyrsim_query(cs.expected, KYRSIM_Q_OPEN_HANDLES), 1);
            libusb_close(h);
        }
        EXPECT_EQ(kyrsim_outstanding_lists(), 0);
    }
    // Another model at the same path is not ours.
    EXPECT_EQ(
        OpenDeviceByPath(ctx, CTestDriver::kVendorID, CTestDriver::kProductID + 1, PathOf(1, "1").c_str(), 1),
        nullptr);
    EXPECT_EQ(
        OpenDeviceByPath(nullptr, CTestDriver::kVendorID, CTestDriver::kProductID, PathOf(1, "1").c_str(), 1),
        nullptr);
    EXPECT_EQ(kyrsim_device_refs(), 0);
    libusb_exit(ctx);
}

// ---- Open ------------------------------------------------------------------------------

TEST_F(CameraOpenTest, OpenWithoutVendorOrProductIdFailsWithoutTraffic) {
    PlugCamera(1, "1", MakeSerial(1));
    const struct {
        int vid;
        int pid;
    } cases[] = {{0, CTestDriver::kProductID}, {CTestDriver::kVendorID, 0}, {0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.vid << ":" << c.pid);
        CTestDriver camera;
        SetPath(camera, PathOf(1, "1"));
        camera.m_iVID = c.vid;
        camera.m_iPID = c.pid;
        kyrsim::clearLog();
        std::string err = StderrOf([&] { EXPECT_FALSE(camera.OpenCamera(1)); });
        EXPECT_TRUE(Contains(err, "PID or PID is not assigned\n")) << err;
        EXPECT_FALSE(camera.m_bOpened);
        EXPECT_EQ(kyrsim_log_count(), 0);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        EXPECT_EQ(kyrsim_outstanding_lists(), 0);
    }
}

TEST_F(CameraOpenTest, OpenOfAnOpenCameraReturnsTrueWithoutTraffic) {
    PlugCamera(1, "1", MakeSerial(1));
    auto camera = OpenAt(1, "1");
    libusb_device_handle* handle = camera->m_hDevice;
    kyrsim::clearLog();
    EXPECT_TRUE(camera->OpenCamera(1));
    EXPECT_TRUE(camera->OpenCamera(2));
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_EQ(kyrsim_open_handles(), 1);
    EXPECT_EQ(camera->m_hDevice, handle);
    EXPECT_EQ(camera->m_iDevIndex, 1);
}

TEST_F(CameraOpenTest, OpenSucceedsAndReadsFirmwareVersionThenClosesCleanly) {
    kyrsim::Device dev = PlugCamera(1, "1", MakeSerial(1));
    dev.setFirmwareAnswer('V', 3);
    auto camera = std::make_unique<CTestDriver>();
    SetPath(*camera, PathOf(1, "1"));
    std::string err = StderrOf([&] { EXPECT_TRUE(camera->OpenCamera(1)); });
    EXPECT_TRUE(Contains(err, "open camera success\n")) << err;
    EXPECT_TRUE(camera->m_bOpened);
    EXPECT_NE(camera->m_hDevice, nullptr);
    EXPECT_EQ(camera->m_ucFirmwareVer, 0x30);
    EXPECT_EQ(camera->m_iDevIndex, 1);
    EXPECT_EQ(dev.query(KYRSIM_Q_CLAIMED), 1);
    EXPECT_EQ(dev.query(KYRSIM_Q_OPEN_HANDLES), 1);
    EXPECT_EQ(kyrsim_unexpected_count(), 0);
    EXPECT_EQ(kyrsim_outstanding_lists(), 0);

    err = StderrOf([&] { camera->CloseCamera(); });
    EXPECT_TRUE(Contains(err, "camera closed\n")) << err;
    EXPECT_FALSE(camera->m_bOpened);
    EXPECT_EQ(camera->m_hDevice, nullptr);
    EXPECT_EQ(kyrsim_open_handles(), 0);
    camera.reset();
    EXPECT_EQ(kyrsim_live_contexts(), 0);
    EXPECT_EQ(kyrsim_device_refs(), 0);
    EXPECT_EQ(kyrsim_misuse_count(), 0);
}

// Opening hands libusb the camera object's libusb log level on its own
// context, clamped to the levels libusb knows (0..4).
TEST_F(CameraOpenTest, OpenHandsLibusbTheLogLevelClampedToItsRange) {
    const struct {
        int level;
        int handed;
    } cases[] = {{0, 0}, {3, 3}, {7, 4}, {-2, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        kyrsim::reset();
        PlugCamera(1, "1", MakeSerial(1));
        auto camera = std::make_unique<CTestDriver>();
        camera->m_iLibusbLogLevel = c.level;
        SetPath(*camera, PathOf(1, "1"));
        ASSERT_TRUE(camera->OpenCamera(1));
        EXPECT_EQ(kyrsim_last_log_level(), c.handed);
        EXPECT_EQ(kyrsim_context_log_level(camera->m_pUsbContext), c.handed);
        camera->CloseCamera();
    }
}

TEST_F(CameraOpenTest, TwoIdenticalCamerasEachPathOpensItsOwn) {
    const Serial snA = MakeSerial(0xA1), snB = MakeSerial(0xB2);
    kyrsim::Device a = PlugCamera(1, "1", snA);
    kyrsim::Device b = PlugCamera(1, "2", snB);
    // List the second camera first, so that "the first of the model" is b.
    int order[] = {b.handle(), a.handle()};
    ASSERT_EQ(kyrsim_set_list_order(order, 2), 0);

    auto camA = OpenAt(1, "1", 1);
    auto camB = OpenAt(1, "2", 2);
    ASSERT_TRUE(camA->m_bOpened);
    ASSERT_TRUE(camB->m_bOpened);
    EXPECT_EQ(SerialOf(*camA), snA);
    EXPECT_EQ(SerialOf(*camB), snB);
    EXPECT_EQ(a.query(KYRSIM_Q_OPEN_HANDLES), 1);
    EXPECT_EQ(b.query(KYRSIM_Q_OPEN_HANDLES), 1);
}

TEST_F(CameraOpenTest, OpenWithoutPathTakesTheIndexedDeviceAndRemembersItsPath) {
    const Serial snA = MakeSerial(0xA1), snB = MakeSerial(0xB2);
    PlugCamera(1, "1", snA);
    PlugCamera(1, "4,2", snB);
    CTestDriver camera;
    ASSERT_TRUE(camera.OpenCamera(2));
    EXPECT_EQ(SerialOf(camera), snB);
    EXPECT_STREQ(camera.m_pDevPath, PathOf(1, "4,2").c_str());

    CTestDriver none;
    EXPECT_FALSE(none.OpenCamera(3));
    EXPECT_FALSE(none.OpenCamera(0));
    EXPECT_FALSE(none.OpenCamera(256));  // the index is one byte: never wrapped onto device 1
    EXPECT_EQ(none.m_pDevPath[0], '\0');
}

TEST_F(CameraOpenTest, OpenFailsWhenNoDeviceIsAtThePath) {
    PlugCamera(1, "1", MakeSerial(1));
    const struct {
        const char* name;
        std::string path;
        int index;
    } cases[] = {
        {"empty port", PathOf(1, "5"), 1},
        {"other bus", PathOf(2, "1"), 1},
        {"hub port behind the camera's", PathOf(1, "1,1"), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CTestDriver camera;
        SetPath(camera, c.path);
        kyrsim::clearLog();
        std::string err = StderrOf([&] { EXPECT_FALSE(camera.OpenCamera(c.index)); });
        EXPECT_TRUE(Contains(err, "open camera fail\n")) << err;
        EXPECT_FALSE(camera.m_bOpened);
        EXPECT_EQ(camera.m_hDevice, nullptr);
        EXPECT_EQ(camera.CloseCalls(), 0);
        EXPECT_EQ(kyrsim_log_count(), 0);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        EXPECT_EQ(kyrsim_outstanding_lists(), 0);
    }
}

TEST_F(CameraOpenTest, OpenFailsAndClosesAgainWhenFirmwareVersionCannotBeRead) {
    const struct {
        const char* name;
        int action;
        int arg;
    } cases[] = {
        {"stall", KYRSIM_FAULT_ERROR, LIBUSB_ERROR_PIPE},
        {"io error", KYRSIM_FAULT_ERROR, LIBUSB_ERROR_IO},
        {"gone", KYRSIM_FAULT_ERROR, LIBUSB_ERROR_NO_DEVICE},
        {"short answer", KYRSIM_FAULT_SHORT, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kyrsim::reset();
        kyrsim::Device dev = PlugCamera(1, "1", MakeSerial(1));
        kyrsim::Fault f;
        f.request(VR_GET_FW_VERSION).in().always();
        kyrsim_fault raw = f.raw();
        raw.action = c.action;
        raw.arg = c.arg;
        ASSERT_GE(kyrsim_add_fault(&raw), 0);

        auto camera = std::make_unique<CTestDriver>();
        SetPath(*camera, PathOf(1, "1"));
        std::string err = StderrOf([&] { EXPECT_FALSE(camera->OpenCamera(1)); });
        EXPECT_TRUE(Contains(err, "Failed to get firmware version, close camera\n")) << err;
        EXPECT_EQ(camera->CloseCalls(), 1);  // through the driver's own CloseCamera
        EXPECT_FALSE(camera->m_bOpened);
        EXPECT_EQ(camera->m_hDevice, nullptr);
        EXPECT_EQ(dev.query(KYRSIM_Q_OPEN_HANDLES), 0);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        // Nothing but the version request reached the camera.
        EXPECT_EQ(kyrsim_log_count_matching(dev.handle(), KYRSIM_ANY, KYRSIM_ANY),
                  kyrsim_log_count_matching(dev.handle(), VR_GET_FW_VERSION, KYRSIM_DIR_IN));
        camera.reset();
        EXPECT_EQ(kyrsim_live_contexts(), 0);
        EXPECT_EQ(kyrsim_device_refs(), 0);
        EXPECT_EQ(kyrsim_outstanding_lists(), 0);
        EXPECT_EQ(kyrsim_misuse_count(), 0);
    }
}

TEST_F(CameraOpenTest, OpenOnUsb3AndUsb2HostsSetsPacketSizeAndBandwidth) {
    const struct {
        const char* name;
        bool usb3;
        bool failQuery;
        int pktSize;
        int fpsPerc;
        const char* line;
    } cases[] = {
        {"usb3", true, false, 33, 90, "***********USB3.0 Host*********** \n"},
        {"usb2", false, false, 97, 40, "***********USB2.0 Host***********\n"},
        {"query fails", true, true, 97, 40, "***********USB2.0 Host***********\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kyrsim::reset();
        PlugCamera(1, "1", MakeSerial(1), c.usb3);
        if (c.failQuery) kyrsim::Fault().request(VR_IS_USB3).in().always().error(LIBUSB_ERROR_IO).add();
        CTestDriver camera;
        SetPath(camera, PathOf(1, "1"));
        camera.m_iFPSPerc = 40;
        camera.m_iFPSPercUSB3Def = 90;
        camera.m_iPktSize = 0;
        std::string err = StderrOf([&] { EXPECT_TRUE(camera.OpenCamera(1)); });
        EXPECT_TRUE(Contains(err, c.line)) << err;
        EXPECT_EQ(camera.m_bUSB3Host, c.usb3 && !c.failQuery);
        EXPECT_EQ(camera.m_iPktSize, c.pktSize);
        EXPECT_EQ(camera.m_iFPSPerc, c.fpsPerc);
    }
}

TEST_F(CameraOpenTest, OpenFailsAndClosesTheHandleWhenInterfaceCannotBeClaimed) {
    const struct {
        const char* name;
        bool heldByOther;  // else the claim call itself is refused
    } cases[] = {{"held by another handle", true}, {"claim refused", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kyrsim::reset();
        kyrsim::Device dev = PlugCamera(1, "1", MakeSerial(1));

        // Another program holding interface 0 of the camera.
        libusb_context* otherCtx = nullptr;
        libusb_device_handle* other = nullptr;
        if (c.heldByOther) {
            ASSERT_EQ(libusb_init(&otherCtx), 0);
            other = libusb_open_device_with_vid_pid_index(otherCtx, CTestDriver::kVendorID,
                                                          CTestDriver::kProductID, 1);
            ASSERT_NE(other, nullptr);
            ASSERT_EQ(libusb_claim_interface(other, 0), 0);
        } else {
            ASSERT_EQ(kyrsim_fail_call(KYRSIM_CALL_CLAIM, dev.handle(), LIBUSB_ERROR_ACCESS, 1), 0);
        }
        const int handlesBefore = kyrsim_open_handles();

        CTestDriver camera;
        SetPath(camera, PathOf(1, "1"));
        kyrsim::clearLog();
        std::string err = StderrOf([&] { EXPECT_FALSE(camera.OpenCamera(1)); });
        EXPECT_TRUE(Contains(err, "open camera fail\n")) << err;
        EXPECT_FALSE(Contains(err, "open camera success")) << err;
        EXPECT_FALSE(camera.m_bOpened);
        EXPECT_EQ(camera.m_hDevice, nullptr);
        EXPECT_EQ(kyrsim_open_handles(), handlesBefore);
        EXPECT_EQ(kyrsim_log_count(), 0);  // not one request to a camera that is not ours

        if (other) {
            EXPECT_EQ(dev.query(KYRSIM_Q_CLAIMED), 1);  // the holder keeps it
            libusb_release_interface(other, 0);
            libusb_close(other);
            libusb_exit(otherCtx);
        }
    }
}

TEST_F(CameraOpenTest, OpenRefusedByTheSystemFails) {
    kyrsim::Device dev = PlugCamera(1, "1", MakeSerial(1));
    ASSERT_TRUE(dev.refuseOpen(LIBUSB_ERROR_ACCESS));
    CTestDriver camera;
    SetPath(camera, PathOf(1, "1"));
    std::string err = StderrOf([&] { EXPECT_FALSE(camera.OpenCamera(1)); });
    EXPECT_TRUE(Contains(err, "open camera fail\n")) << err;
    EXPECT_FALSE(camera.m_bOpened);
    EXPECT_EQ(kyrsim_open_handles(), 0);
    EXPECT_EQ(kyrsim_outstanding_lists(), 0);
}

TEST_F(CameraOpenTest, OpenWithoutLibusbContextFailsWithoutCallingLibusb) {
    kyrsim::Device dev = PlugCamera(1, "1", MakeSerial(1));
    kyrsim_fail_init(1, LIBUSB_ERROR_NO_MEM);
    CTestDriver camera;
    ASSERT_EQ(camera.m_pUsbContext, nullptr);
    SetPath(camera, PathOf(1, "1"));
    std::string err = StderrOf([&] { EXPECT_FALSE(camera.OpenCamera(1)); });
    EXPECT_TRUE(Contains(err, "open camera fail\n")) << err;
    EXPECT_FALSE(camera.m_bOpened);
    EXPECT_EQ(kyrsim_live_contexts(), 0);  // no default context made behind our back
    EXPECT_EQ(kyrsim_open_handles(), 0);
    EXPECT_EQ(kyrsim_device_refs(), 0);
    EXPECT_EQ(kyrsim_misuse_count(), 0);
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_EQ(dev.query(KYRSIM_Q_OPEN_HANDLES), 0);
}

// After an unplug and a replug at another port, the old path opens nothing,
// although by its index it would hit the other camera of the model.
TEST_F(CameraOpenTest, CameraRepluggedOnAnotherPortIsFoundOnlyByItsNewPath) {
    const Serial snA = MakeSerial(0xA1), snB = MakeSerial(0xB2);
    kyrsim::Device a = PlugCamera(1, "1", snA);
    kyrsim::Device b = PlugCamera(1, "2", snB);
    {
        auto camera = OpenAt(1, "1", 1);
        ASSERT_EQ(SerialOf(*camera), snA);
        camera->CloseCamera();
    }
    ASSERT_TRUE(a.unplug());
    kyrsim::Device a2 = PlugCamera(1, "3", snA);

    CTestDriver old;
    SetPath(old, PathOf(1, "1"));
    std::string err = StderrOf([&] { EXPECT_FALSE(old.OpenCamera(1)); });
    EXPECT_TRUE(Contains(err, "open camera fail\n")) << err;
    EXPECT_EQ(b.query(KYRSIM_Q_OPEN_HANDLES), 0);

    auto moved = OpenAt(1, "3", 1);
    EXPECT_EQ(SerialOf(*moved), snA);
    EXPECT_EQ(a2.query(KYRSIM_Q_OPEN_HANDLES), 1);
    EXPECT_EQ(b.query(KYRSIM_Q_OPEN_HANDLES), 0);
}

// ---- Reconnection -----------------------------------------------------------------------

TEST_F(CameraOpenTest, ReconnectWithoutHandleFailsAtOnce) {
    PlugCamera(1, "1", MakeSerial(1));
    CTestDriver camera;
    SetPath(camera, PathOf(1, "1"));
    long long ms = TimedMs([&] { EXPECT_FALSE(camera.ReConnectCamera()); });
    EXPECT_LT(ms, 100);
    EXPECT_FALSE(camera.m_bOpened);
    EXPECT_EQ(kyrsim_open_handles(), 0);
    EXPECT_EQ(kyrsim_log_count(), 0);
}

TEST_F(CameraOpenTest, ReconnectAfterReplugAtTheSamePortSucceeds) {
    const Serial sn = MakeSerial(0x11);
    kyrsim::Device dev = PlugCamera(1, "1", sn);
    auto camera = OpenAt(1, "1");
    ASSERT_TRUE(dev.unplug());
    kyrsim::Device again = PlugCamera(1, "1", sn);

    std::string err = StderrOf([&] { EXPECT_TRUE(camera->ReConnectCamera()); });
    EXPECT_TRUE(Contains(err, "reconnect camera\n")) << err;
    EXPECT_TRUE(camera->m_bOpened);
    EXPECT_EQ(SerialOf(*camera), sn);
    EXPECT_EQ(again.query(KYRSIM_Q_OPEN_HANDLES), 1);
    EXPECT_EQ(kyrsim_open_handles(), 1);  // the dead handle was closed
}

TEST_F(CameraOpenTest, ReconnectRetriesOnceAndFindsCameraRepluggedMeanwhile) {
    const Serial sn = MakeSerial(0x12);
    kyrsim::Device dev = PlugCamera(1, "1", sn);
    auto camera = OpenAt(1, "1");
    ASSERT_TRUE(dev.unplug());

    std::thread replug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        PlugCamera(1, "1", sn);
    });
    bool ok = false;
    long long ms = TimedMs([&] { ok = camera->ReConnectCamera(); });
    replug.join();
    EXPECT_TRUE(ok);
    EXPECT_GE(ms, 1000);
    EXPECT_TRUE(camera->m_bOpened);
    EXPECT_EQ(SerialOf(*camera), sn);
}

TEST_F(CameraOpenTest, ReconnectFailsAfterTheRetryWhenNeverReplugged) {
    kyrsim::Device dev = PlugCamera(1, "1", MakeSerial(1));
    auto camera = OpenAt(1, "1");
    ASSERT_TRUE(dev.unplug());
    bool ok = true;
    long long ms = TimedMs([&] { ok = camera->ReConnectCamera(); });
    EXPECT_FALSE(ok);
    EXPECT_GE(ms, 1100);  // 100 + 50 ms before the first try, 1 s before the second
    EXPECT_LT(ms, 10000);
    EXPECT_FALSE(camera->m_bOpened);
    EXPECT_EQ(camera->m_hDevice, nullptr);
    EXPECT_EQ(kyrsim_open_handles(), 0);
    EXPECT_EQ(kyrsim_outstanding_lists(), 0);
}

// With a second camera of the model on the bus, reconnection reopens the
// original, and never the other one while the original is away.
TEST_F(CameraOpenTest, ReconnectReopensTheOriginalNotAnotherCameraOfTheModel) {
    const Serial snA = MakeSerial(0xA1), snB = MakeSerial(0xB2);
    kyrsim::Device a = PlugCamera(1, "1", snA);
    kyrsim::Device b = PlugCamera(1, "2", snB);
    auto camera = OpenAt(1, "1", 1);
    ASSERT_EQ(SerialOf(*camera), snA);

    // Original away: the first camera of the model is now b.
    ASSERT_TRUE(a.unplug());
    EXPECT_FALSE(camera->ReConnectCamera());
    EXPECT_FALSE(camera->m_bOpened);
    EXPECT_EQ(b.query(KYRSIM_Q_OPEN_HANDLES), 0);

    // Original back, listed after b.
    kyrsim::Device a2 = PlugCamera(1, "1", snA);
    int order[] = {b.handle(), a2.handle()};
    ASSERT_EQ(kyrsim_set_list_order(order, 2), 0);
    ASSERT_TRUE(camera->OpenCamera(camera->m_iDevIndex));  // what a later reconnection starts from
    ASSERT_TRUE(a2.unplug());
    kyrsim::Device a3 = PlugCamera(1, "1", snA);
    int order2[] = {b.handle(), a3.handle()};
    ASSERT_EQ(kyrsim_set_list_order(order2, 2), 0);
    EXPECT_TRUE(camera->ReConnectCamera());
    EXPECT_EQ(SerialOf(*camera), snA);
    EXPECT_EQ(a3.query(KYRSIM_Q_OPEN_HANDLES), 1);
    EXPECT_EQ(b.query(KYRSIM_Q_OPEN_HANDLES), 0);
}
