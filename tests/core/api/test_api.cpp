// The exported interface: camera IDs across hot-plug, the model factory, open
// and close, the per-call checks and the image-format calls, against simulated
// cameras with the test driver behind their product IDs.
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "KYRCamera.h"
#include "TestDriver.h"
#include "api/ModelFactory.h"
#include "kyrsim.h"

namespace {

constexpr int kPid = CTestDriver::kProductID;  // 0x832b
constexpr int kPid2 = 0x820b;

std::atomic<int> g_iStartPosCalls{0};

// A test driver that keeps the geometry it accepts, and can refuse one width.
class CGeometryDriver : public CTestDriver {
public:
    CGeometryDriver() : CTestDriver(CTestDriver::kProductID) {}
    bool SetResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE type) override {
        if (iWidth == m_iRefuseWidth) return false;
        m_iWidth = iWidth;
        m_iHeight = iHeight;
        m_iBin = iBin;
        m_iImgType = type;
        return true;
    }
    bool SetStartPos(int x, int y) override {
        ++g_iStartPosCalls;
        m_iStartX = x;
        m_iStartY = y;
        return true;
    }
    int m_iRefuseWidth = -1;
};

CCameraBase* MakeDriver() { return new CTestDriver(kPid); }
CCameraBase* MakeDriver2() { return new CTestDriver(kPid2); }

class ApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        kyrsim_reset();
        SetCameraConstructorForTest(kPid, MakeDriver);
        SetCameraConstructorForTest(kPid2, MakeDriver2);
    }
    void TearDown() override {
        for (int id = 0; id < 128; ++id) KYRCloseCamera(id);
        SetCameraConstructorForTest(kPid, nullptr);
        SetCameraConstructorForTest(kPid2, nullptr);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        EXPECT_EQ(kyrsim_outstanding_lists(), 0);
        kyrsim_reset();
    }

    // Product ID of the camera ID's description (opens and closes it when closed).
    static int IdOfIndex(int index) {
        KYR_CAMERA_INFO info;
        memset(&info, 0, sizeof(info));
        if (KYRGetCameraProperty(&info, index) != KYR_SUCCESS) return -1;
        return info.camera_id;
    }
    static long long OpenHandles(int simHandle) { return kyrsim_query(simHandle, KYRSIM_Q_OPEN_HANDLES); }
};

TEST_F(ApiTest, HotPlugKeepsIdsOnTheirPorts) {
    int camA = kyrsim_plug(kPid, 1, "1");
    int camB = kyrsim_plug(kPid, 1, "2");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 2);
    EXPECT_EQ(IdOfIndex(0), 0);  // bus order
    EXPECT_EQ(IdOfIndex(1), 1);

    // Unplug ID 0's camera: the other keeps ID 1, ID 0 is free.
    kyrsim_unplug(camA);
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    EXPECT_EQ(IdOfIndex(0), 1);
    EXPECT_EQ(KYROpenCamera(0), KYR_ERROR_ID);

    // A camera on a new port takes the lowest free ID.
    int camC = kyrsim_plug(kPid, 2, "4");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 2);
    EXPECT_EQ(IdOfIndex(0), 1);
    EXPECT_EQ(IdOfIndex(1), 0);

    // A closed camera keeps its ID across enumerations.
    ASSERT_EQ(KYROpenCamera(1), KYR_SUCCESS);
    ASSERT_EQ(KYRCloseCamera(1), KYR_SUCCESS);
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 2);
    EXPECT_EQ(IdOfIndex(0), 1);

    // An open camera that is unplugged is closed and its ID freed.
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    EXPECT_EQ(OpenHandles(camC), 1);
    kyrsim_unplug(camC);
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    EXPECT_EQ(KYROpenCamera(0), KYR_ERROR_ID);
    int dropped = 0;
    EXPECT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_ERROR_ID);
    (void)camB;
}

TEST_F(ApiTest, FirmwareProbeClosesAfterThreeFailures) {
    int cam = kyrsim_plug(kPid, 1, "1");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    int dropped = 0;

    struct kyrsim_fault f;
    kyrsim_fault_init(&f, KYRSIM_FAULT_ERROR, LIBUSB_ERROR_IO);
    f.request = 0xAD;
    f.times = 2;
    kyrsim_add_fault(&f);
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    EXPECT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_SUCCESS) << "two failures keep it open";

    kyrsim_clear_faults();
    f.times = 3;
    kyrsim_add_fault(&f);
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    EXPECT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_ERROR_CAMERA_CLOSED) << "three failures close it";
    EXPECT_EQ(OpenHandles(cam), 0);
    // Still on its port: the ID stays bound and can be opened again.
    kyrsim_clear_faults();
    EXPECT_EQ(KYROpenCamera(0), KYR_SUCCESS);
}

TEST_F(ApiTest, FactoryTableAndProductIds) {
    int ids[KYR_PRODUCT_COUNT];
    memset(ids, 0, sizeof(ids));
    EXPECT_EQ(KYRGetProductIDs(nullptr), 113);
    ASSERT_EQ(KYRGetProductIDs(ids), 113);
    EXPECT_EQ(ids[0], 0x841a);
    EXPECT_EQ(ids[112], 0x826e);
    int unnamed = 0;
    for (int pid : ids) {
        if (!ModelClassName(pid)) ++unnamed;
        EXPECT_EQ(KYRCameraCheck(0x2e7b, pid), KYR_TRUE) << std::hex << pid;
    }
    EXPECT_EQ(unnamed, 2);

    struct Row {
        int pid;
        const char* cls;
    } rows[] = {{0x811a, "CCameraS807MM"},     {0x811b, "CCameraS811MC"}, {0x811e, "CCameraS807MM_Pro"},
                {0x811f, "CCameraS811MC_Pro"}, {0x807e, "CCameraS807MM_Pro"}, {0x832b, "CCameraS832MC"},
                {0x841a, "CCameraS841MM"},     {0x826e, "CCameraS826MM_Pro"}, {0x8f79, nullptr},
                {0x807a, nullptr},             {0x1234, nullptr}};
    for (const Row& r : rows) {
        const char* cls = ModelClassName(r.pid);
        if (r.cls)
            EXPECT_STREQ(cls, r.cls) << std::hex << r.pid;
        else
            EXPECT_EQ(cls, nullptr) << std::hex << r.pid;
    }
    // Vendor x product.
    EXPECT_EQ(KYRCameraCheck(0x2e7b, 0x1234), KYR_FALSE);
    EXPECT_EQ(KYRCameraCheck(0x2e7a, 0x832b), KYR_FALSE);
    EXPECT_EQ(KYRCameraCheck(0, 0), KYR_FALSE);
    EXPECT_EQ(KYRCameraCheck(0x2e7b, 0x8f79), KYR_TRUE);
}

TEST_F(ApiTest, ClasslessProductIsCountedButDoesNotOpen) {
    kyrsim_plug(0x8f79, 1, "1");
    kyrsim_plug(0x807a, 1, "2");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 2);
    EXPECT_EQ(KYROpenCamera(0), KYR_ERROR_GENERAL_ERROR);
    EXPECT_EQ(KYROpenCamera(1), KYR_ERROR_GENERAL_ERROR);
    KYR_CAMERA_INFO info;
    EXPECT_EQ(KYRGetCameraProperty(&info, 0), KYR_ERROR_GENERAL_ERROR);
    EXPECT_EQ(kyrsim_open_handles(), 0);
    // The ID stays bound.
    int dropped;
    EXPECT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_ERROR_CAMERA_CLOSED);
    EXPECT_EQ(KYRCameraCheck(0x2e7b, 0x8f79), KYR_TRUE);
}

TEST_F(ApiTest, ForeignAndUnknownDevicesAreNotCounted) {
    struct kyrsim_device_config cfg;
    kyrsim_config_init(&cfg, kPid, 1, "1");
    cfg.vendor_id = 0x1d6b;
    kyrsim_plug_ex(&cfg);
    kyrsim_plug(0x1234, 1, "2");
    kyrsim_plug(kPid, 1, "3");
    EXPECT_EQ(KYRGetNumOfConnectedCameras(), 1);
}

TEST_F(ApiTest, TwoCamerasOfOneModelOpenTheirOwnDevice) {
    int camA = kyrsim_plug(kPid, 1, "1");
    int camB = kyrsim_plug(kPid, 1, "2");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 2);
    ASSERT_EQ(KYROpenCamera(1), KYR_SUCCESS);
    EXPECT_EQ(OpenHandles(camA), 0);
    EXPECT_EQ(OpenHandles(camB), 1);
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    EXPECT_EQ(OpenHandles(camA), 1);
    KYRCloseCamera(0);
    KYRCloseCamera(1);

    // A replug swaps their places in the list between enumeration and open:
    // each ID still opens the camera on its own port.
    int order[] = {camB, camA};
    kyrsim_set_list_order(order, 2);
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    EXPECT_EQ(OpenHandles(camA), 1);
    EXPECT_EQ(OpenHandles(camB), 0);
}

TEST_F(ApiTest, EnumerationSkipsUnreadableDeviceAndCountsAtMost128) {
    int bad = kyrsim_plug(kPid, 1, "1");
    kyrsim_plug(kPid, 1, "2");
    kyrsim_fail_descriptor(bad, LIBUSB_ERROR_IO);
    EXPECT_EQ(KYRGetNumOfConnectedCameras(), 1);
    EXPECT_EQ(kyrsim_outstanding_lists(), 0);

    kyrsim_reset();
    for (int i = 0; i < 130; ++i) {
        std::string ports = std::to_string(1 + i / 100) + "," + std::to_string(1 + i % 100);
        ASSERT_GE(kyrsim_plug(kPid, 1 + i / 100, ports.c_str()), 0);
    }
    EXPECT_EQ(KYRGetNumOfConnectedCameras(), 128);
    KYR_CAMERA_INFO info;
    EXPECT_EQ(KYRGetCameraProperty(&info, 127), KYR_SUCCESS);
    EXPECT_EQ(info.camera_id, 127);
    EXPECT_EQ(KYRGetCameraProperty(&info, 128), KYR_ERROR_INVALID_INDEX);
    EXPECT_EQ(kyrsim_outstanding_lists(), 0);
}

TEST_F(ApiTest, CameraPropertyLeavesOpenStateAsItWas) {
    int cam = kyrsim_plug(kPid, 1, "1");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    KYR_CAMERA_INFO info;
    memset(&info, 0xAB, sizeof(info));
    ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
    EXPECT_EQ(info.camera_id, 0);
    EXPECT_EQ(OpenHandles(cam), 0) << "an unopened camera stays closed";

    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    ASSERT_EQ(KYRGetCameraProperty(&info, 0), KYR_SUCCESS);
    EXPECT_EQ(OpenHandles(cam), 1) << "an open camera stays open";

    EXPECT_EQ(KYRGetCameraProperty(&info, -1), KYR_ERROR_INVALID_INDEX);
    EXPECT_EQ(KYRGetCameraProperty(&info, 1), KYR_ERROR_INVALID_INDEX);
}

TEST_F(ApiTest, OpenFailureDestroysTheObject) {
    int cam = kyrsim_plug(kPid, 1, "1");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    kyrsim_refuse_open(cam, LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(KYROpenCamera(0), KYR_ERROR_CAMERA_REMOVED);
    int dropped;
    EXPECT_EQ(KYRGetDroppedFrames(0, &dropped), KYR_ERROR_CAMERA_CLOSED);
    kyrsim_refuse_open(cam, 0);
    EXPECT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    EXPECT_EQ(KYROpenCamera(0), KYR_SUCCESS) << "already open";
    EXPECT_EQ(OpenHandles(cam), 1);
}

TEST_F(ApiTest, InitSetsFullSizeRaw8) {
    kyrsim_plug(kPid, 1, "1");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
    int w = 0, h = 0, bin = 0;
    IMG_TYPE type = IMG_END;
    ASSERT_EQ(KYRGetROIFormat(0, &w, &h, &bin, &type), KYR_SUCCESS);
    EXPECT_EQ(type, IMG_RAW8);
    std::vector<unsigned char> buf(CTestDriver::kMaxWidth * CTestDriver::kMaxHeight - 1);
    EXPECT_EQ(KYRGetVideoData(0, buf.data(), static_cast<long>(buf.size()), 0), KYR_ERROR_BUFFER_TOO_SMALL)
        << "the stored size is the full-size RAW8 frame";
}

// Every per-camera function with arguments that are valid where they matter.
struct ApiCall {
    const char* name;
    bool gated;  // needs KYRInitCamera first
    KYR_ERROR_CODE (*call)(int id);
};

unsigned char g_buf[64 * 48 * 3];

const ApiCall kCalls[] = {
    {"InitCamera", false, [](int id) { return KYRInitCamera(id); }},
    {"GetNumOfControls", false, [](int id) { int n; return KYRGetNumOfControls(id, &n); }},
    {"GetControlCaps", false, [](int id) { KYR_CONTROL_CAPS c; return KYRGetControlCaps(id, 0, &c); }},
    {"GetControlValue", false, [](int id) { long v; KYR_BOOL a; return KYRGetControlValue(id, KYR_GAIN, &v, &a); }},
    {"SetControlValue", true, [](int id) { return KYRSetControlValue(id, KYR_GAIN, 1, KYR_FALSE); }},
    {"SetROIFormat", true, [](int id) { return KYRSetROIFormat(id, 8, 8, 1, IMG_RAW8); }},
    {"GetROIFormat", false, [](int id) { int w, h, b; IMG_TYPE t; return KYRGetROIFormat(id, &w, &h, &b, &t); }},
    {"SetStartPos", true, [](int id) { return KYRSetStartPos(id, 0, 0); }},
    {"GetStartPos", false, [](int id) { int x, y; return KYRGetStartPos(id, &x, &y); }},
    {"GetDroppedFrames", false, [](int id) { int n; return KYRGetDroppedFrames(id, &n); }},
    {"EnableDarkSubtract", true, [](int id) { char p[] = "/nonexistent.bmp"; return KYREnableDarkSubtract(id, p); }},
    {"DisableDarkSubtract", false, [](int id) { return KYRDisableDarkSubtract(id); }},
    {"StartVideoCapture", true, [](int id) { return KYRStartVideoCapture(id); }},
    {"StopVideoCapture", false, [](int id) { return KYRStopVideoCapture(id); }},
    {"GetVideoData", true, [](int id) { return KYRGetVideoData(id, g_buf, sizeof(g_buf), 0); }},
    {"StartExposure", true, [](int id) { return KYRStartExposure(id, KYR_FALSE); }},
    {"StopExposure", false, [](int id) { return KYRStopExposure(id); }},
    {"GetExpStatus", false, [](int id) { KYR_EXPOSURE_STATUS s; return KYRGetExpStatus(id, &s); }},
    {"GetDataAfterExp", true, [](int id) { return KYRGetDataAfterExp(id, g_buf, sizeof(g_buf)); }},
    {"PulseGuideOn", false, [](int id) { return KYRPulseGuideOn(id, GUIDE_NORTH); }},
    {"PulseGuideOff", false, [](int id) { return KYRPulseGuideOff(id, GUIDE_NORTH); }},
    {"GetID", false, [](int id) { KYR_ID v; return KYRGetID(id, &v); }},
    {"SetID", false, [](int id) { KYR_ID v = {}; return KYRSetID(id, v); }},
    {"GetGainOffset", false, [](int id) { int a, b, c, d; return KYRGetGainOffset(id, &a, &b, &c, &d); }},
    {"GetLMHGainOffset", false, [](int id) { int a, b, c, d; return KYRGetLMHGainOffset(id, &a, &b, &c, &d); }},
    {"GetCameraSupportMode", false, [](int id) { KYR_SUPPORTED_MODE m; return KYRGetCameraSupportMode(id, &m); }},
    {"GetCameraMode", false, [](int id) { CAM_MODE m; return KYRGetCameraMode(id, &m); }},
    {"SetCameraMode", true, [](int id) { return KYRSetCameraMode(id, CAM_MODE_NORMAL); }},
    {"SendSoftTrigger", false, [](int id) { return KYRSendSoftTrigger(id, KYR_FALSE); }},
    {"GetSerialNumber", false, [](int id) { KYR_ID v; return KYRGetSerialNumber(id, &v); }},
    {"GetCameraPropertyByID", false, [](int id) { KYR_CAMERA_INFO i; return KYRGetCameraPropertyByID(id, &i); }},
    {"SetTriggerOutputIOConf", false,
     [](int id) { return KYRSetTriggerOutputIOConf(id, TRIG_OUTPUT_PIN_A, KYR_TRUE, 0, 0); }},
    {"GetTriggerOutputIOConf", false,
     [](int id) { KYR_BOOL h; long d, u; return KYRGetTriggerOutputIOConf(id, TRIG_OUTPUT_PIN_A, &h, &d, &u); }},
    {"EnableDebugLog", false, [](int id) { return KYREnableDebugLog(id, KYR_FALSE); }},
    {"GetDebugLogIsEnabled", false, [](int id) { KYR_BOOL b; return KYRGetDebugLogIsEnabled(id, &b); }},
};

TEST_F(ApiTest, EveryPerCameraFunctionChecksIdOpenStateAndInitialisation) {
    kyrsim_plug(kPid, 1, "1");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    for (const ApiCall& c : kCalls) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(-1), KYR_ERROR_ID);
        EXPECT_EQ(c.call(128), KYR_ERROR_ID);
        EXPECT_EQ(c.call(5), KYR_ERROR_ID) << "never enumerated";
        EXPECT_EQ(c.call(0), KYR_ERROR_CAMERA_CLOSED) << "enumerated, not open";
    }
    EXPECT_EQ(KYROpenCamera(-1), KYR_ERROR_ID);
    EXPECT_EQ(KYRCloseCamera(128), KYR_ERROR_ID);
    EXPECT_EQ(KYROpenCamera(5), KYR_ERROR_ID);

    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    for (const ApiCall& c : kCalls) {
        if (!c.gated) continue;
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(0), KYR_ERROR_INVALID_SEQUENCE) << "open, not initialised";
    }
}

TEST_F(ApiTest, FailingDriverGivesTheRowsCode) {
    kyrsim_plug(kPid, 1, "1");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    // The driver's InitCamera fails: a general error, and the camera stays uninitialised.
    SetCameraConstructorForTest(kPid, [] {
        auto* p = new CTestDriver(kPid);
        p->SetResult(CTestDriver::OP_INIT_CAMERA, false);
        return static_cast<CCameraBase*>(p);
    });
    KYRCloseCamera(0);
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    EXPECT_EQ(KYRInitCamera(0), KYR_ERROR_GENERAL_ERROR);
    EXPECT_EQ(KYRSetROIFormat(0, 8, 8, 1, IMG_RAW8), KYR_ERROR_INVALID_SEQUENCE);

    // Refused geometry and start position.
    SetCameraConstructorForTest(kPid, [] {
        auto* p = new CTestDriver(kPid);
        p->SetResult(CTestDriver::OP_SET_RESOLUTION, false);
        p->SetResult(CTestDriver::OP_SET_START_POS, false);
        p->SetResult(CTestDriver::OP_GET_IMAGE, false);
        return static_cast<CCameraBase*>(p);
    });
    KYRCloseCamera(0);
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
    EXPECT_EQ(KYRSetROIFormat(0, 8, 8, 1, IMG_RAW8), KYR_ERROR_INVALID_SIZE);
    EXPECT_EQ(KYRSetStartPos(0, 1, 1), KYR_ERROR_OUTOF_BOUNDARY);
    EXPECT_EQ(KYRGetVideoData(0, g_buf, sizeof(g_buf), 0), KYR_ERROR_TIMEOUT);
}

TEST_F(ApiTest, StartPositionOutsideIntIsRefusedBeforeTheDriver) {
    kyrsim_plug(kPid, 1, "1");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    SetCameraConstructorForTest(kPid, [] { return static_cast<CCameraBase*>(new CGeometryDriver()); });
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
    ASSERT_EQ(KYRSetROIFormat(0, 8, 8, 4, IMG_RAW8), KYR_SUCCESS);
    EXPECT_EQ(KYRSetStartPos(0, 0x40000000, 0), KYR_ERROR_OUTOF_BOUNDARY);
    EXPECT_EQ(KYRSetStartPos(0, 0, -0x40000000), KYR_ERROR_OUTOF_BOUNDARY);
    EXPECT_EQ(g_iStartPosCalls.load(), 0) << "the driver never saw a wrapped position";
    ASSERT_EQ(KYRSetStartPos(0, 3, 2), KYR_SUCCESS);
    int x = 0, y = 0;
    ASSERT_EQ(KYRGetStartPos(0, &x, &y), KYR_SUCCESS);
    EXPECT_EQ(x, 3);
    EXPECT_EQ(y, 2);
}

TEST_F(ApiTest, RoiFormatTable) {
    kyrsim_plug(kPid, 1, "1");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);

    struct Row {
        IMG_TYPE type;
        int bytes;  // of a 640 x 480 image
    } rows[] = {{IMG_RAW8, 307200}, {IMG_RGB24, 921600}, {IMG_RAW16, 614400}, {IMG_Y8, 307200}};
    std::vector<unsigned char> buf(921600);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.type);
        ASSERT_EQ(KYRSetROIFormat(0, 640, 480, 1, r.type), KYR_SUCCESS);
        EXPECT_EQ(KYRGetVideoData(0, buf.data(), r.bytes - 1, 0), KYR_ERROR_BUFFER_TOO_SMALL);
        EXPECT_EQ(KYRGetVideoData(0, buf.data(), r.bytes, 0), KYR_ERROR_TIMEOUT) << "size accepted, no frame";
    }
    // Types outside the four never reach the driver.
    for (int t : {4, -1, 100}) {
        EXPECT_EQ(KYRSetROIFormat(0, 640, 480, 1, static_cast<IMG_TYPE>(t)), KYR_ERROR_INVALID_IMGTYPE);
    }
}

TEST_F(ApiTest, RefusedRoiFormatChangesNothing) {
    kyrsim_plug(kPid, 1, "1");
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    SetCameraConstructorForTest(kPid, [] {
        auto* p = new CGeometryDriver();
        p->m_iRefuseWidth = 16;
        return static_cast<CCameraBase*>(p);
    });
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);  // full-size RAW8
    EXPECT_EQ(KYRSetROIFormat(0, 16, 16, 1, IMG_Y8), KYR_ERROR_INVALID_SIZE);
    EXPECT_EQ(KYRSetROIFormat(0, 16, 16, 1, IMG_RGB24), KYR_ERROR_INVALID_SIZE);
    int w = 0, h = 0, bin = 0;
    IMG_TYPE type = IMG_END;
    ASSERT_EQ(KYRGetROIFormat(0, &w, &h, &bin, &type), KYR_SUCCESS);
    EXPECT_EQ(type, IMG_RAW8) << "the raw flag of the accepted format stays";
    EXPECT_EQ(w, CTestDriver::kMaxWidth);
    std::vector<unsigned char> buf(CTestDriver::kMaxWidth * CTestDriver::kMaxHeight);
    EXPECT_EQ(KYRGetVideoData(0, buf.data(), static_cast<long>(buf.size()) - 1, 0), KYR_ERROR_BUFFER_TOO_SMALL)
        << "the stored size stays that of the accepted format";
}

}  // namespace
