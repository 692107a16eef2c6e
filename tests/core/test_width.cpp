// Values whose handling depends on the width of the machine's types. On 32-bit
// ARM hard-float, long, size_t, off_t and pointers are 32 bits wide and plain
// char is unsigned; on the 64-bit host long and size_t are 64 bits and char is
// signed. Every table runs on both: a value that exists only where long is 64
// bits wide (a long just past the 32-bit range, which narrows to a plausible
// int) stands beside its 32-bit counterpart (LONG_MAX, LONG_MIN), so that
// neither width's run skips a case.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stddef.h>
#include <string.h>
#include <tinyxml.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "Fx3Fixture.h"
#include "KYRCamera.h"
#include "TestDriver.h"
#include "TestSpeed.h"
#include "VirtualClock.h"
#include "api/ModelFactory.h"
#include "camera/Settings.h"
#include "camera/test_controls_fixture.h"
#include "kyrsim.hpp"
#include "platform/Platform.h"
#include "ring/CirBuf.h"
#include "usb/CameraFX3.h"
#include "usb/FlashBus.h"
#include "usb/FpgaRegs.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// v where a long holds it; otherwise the long limit on its side (the value a
// 32-bit caller passes for "beyond everything").
constexpr long LongOr32BitLimit(long long v) {
    return v > LONG_MAX ? LONG_MAX : v < LONG_MIN ? LONG_MIN : static_cast<long>(v);
}
constexpr long long k2To31 = 1LL << 31;
constexpr long long k2To32 = 1LL << 32;

constexpr int kPid = CTestDriver::kProductID;
constexpr int kImageBytes = CTestDriver::kMaxWidth * CTestDriver::kMaxHeight;  // RAW8 after KYRInitCamera

CCameraBase* MakeDriver() { return new CTestDriver(kPid); }

// Camera ID 0: the test driver behind a simulated camera, opened and
// initialised through the exported functions (full size, RAW8).
class WidthApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kyrsim::reset();
        SetCameraConstructorForTest(kPid, MakeDriver);
        m_Dev = kyrsim::plug(kPid, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
        ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        ASSERT_EQ(KYRInitCamera(0), KYR_SUCCESS);
    }
    void TearDown() override {
        KYRCloseCamera(0);
        SetCameraConstructorForTest(kPid, nullptr);
        EXPECT_EQ(kyrsim_open_handles(), 0);
        kyrsim::reset();
    }

    kyrsim::Device m_Dev;
};

// ---- long arguments that reach ints ------------------------------------------------------

// A buffer size is compared whole with the image size: narrowed to an int,
// 2^32 + 1000 would look too small and -2^32 + 4096 large enough.
TEST_F(WidthApiTest, BufferSizesOfBothImageReadersAreComparedAsLongs) {
    struct {
        const char* name;
        long size;
        bool bAccepted;
    } cases[] = {
        {"the image size", kImageBytes, true},
        {"one byte short", kImageBytes - 1, false},
        {"zero", 0, false},
        {"-1", -1, false},
        {"LONG_MAX", LONG_MAX, true},
        {"LONG_MIN", LONG_MIN, false},
        {"2^31 (INT_MIN as an int)", LongOr32BitLimit(k2To31), true},
        {"2^32 + 1000 (1000 as an int)", LongOr32BitLimit(k2To32 + 1000), true},
        {"-2^32 + 4096 (4096 as an int)", LongOr32BitLimit(-k2To32 + 4096), false},
        {"-2^31 - 1 (INT_MAX as an int)", LongOr32BitLimit(-k2To31 - 1), false},
    };
    // Only the image's bytes are ever written, and no frame comes: an accepted
    // size ends in a time-out, a refused one before the driver.
    std::vector<unsigned char> buf(kImageBytes);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << ": " << c.size);
        const KYR_ERROR_CODE expected = c.bAccepted ? KYR_ERROR_TIMEOUT : KYR_ERROR_BUFFER_TOO_SMALL;
        EXPECT_EQ(KYRGetVideoData(0, buf.data(), c.size, 0), expected);
        EXPECT_EQ(KYRGetDataAfterExp(0, buf.data(), c.size), expected);
    }
}

class WidthTrigOutTest : public WidthApiTest {};

// Trigger output times are clamped while still longs: 2^32 + 1000 must not
// become 1000, nor -2^32 + 1000 a positive time.
TEST_F(WidthTrigOutTest, TimesAreClampedAsLongsBeforeTheRegisters) {
    constexpr long long kMax = 2000000000LL;
    struct {
        const char* name;
        long value;
        long long stored;
    } cases[] = {
        {"in range", 1234, 1234},
        {"the maximum", 2000000000L, kMax},
        {"LONG_MAX", LONG_MAX, kMax},
        {"LONG_MIN", LONG_MIN, 0},
        {"2^31 (INT_MIN as an int)", LongOr32BitLimit(k2To31), kMax},
        {"2^32 + 1000 (1000 as an int)", LongOr32BitLimit(k2To32 + 1000), kMax},
        {"-2^32 + 1000 (1000 as an int)", LongOr32BitLimit(-k2To32 + 1000), 0},
        {"-1", -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << ": " << c.value);
        ASSERT_EQ(KYRSetTriggerOutputIOConf(0, TRIG_OUTPUT_PIN_A, KYR_TRUE, c.value, c.value), KYR_SUCCESS);
        EXPECT_EQ(m_Dev.fpgaWide(48, 4), c.stored) << "delay register";
        EXPECT_EQ(m_Dev.fpgaWide(52, 4), c.stored) << "duration register";
        EXPECT_EQ((m_Dev.fpga(41) & 0x01) != 0, c.stored > 0) << "output on with a positive duration";
        KYR_BOOL high = KYR_FALSE;
        long delay = -7, duration = -7;
        ASSERT_EQ(KYRGetTriggerOutputIOConf(0, TRIG_OUTPUT_PIN_A, &high, &delay, &duration), KYR_SUCCESS);
        EXPECT_EQ(delay, c.stored);
        EXPECT_EQ(duration, c.stored);
    }
}

class WidthControlsTest : public controls_test::CControlsApiTest {};

// Control values are clamped to the control's limits while still longs:
// narrowed first, 2^32 + 1000 would be an exposure of 1000 us and a gain of
// 1000, and -2^32 + 5000 an exposure of 5000 us.
TEST_F(WidthControlsTest, ValuesAreClampedAsLongsBeforeTheyBecomeInts) {
    using Rec = CRecordingDriver;
    struct {
        KYR_CONTROL_TYPE type;
        long value;
        Rec::Setter setter;
        long long applied;
    } cases[] = {
        {KYR_EXPOSURE, LongOr32BitLimit(k2To32 + 1000), Rec::REC_EXP, 2000000000},
        {KYR_EXPOSURE, LongOr32BitLimit(-k2To32 + 5000), Rec::REC_EXP, 32},
        {KYR_EXPOSURE, LongOr32BitLimit(k2To31), Rec::REC_EXP, 2000000000},
        {KYR_EXPOSURE, LONG_MIN, Rec::REC_EXP, 32},
        {KYR_EXPOSURE, LONG_MAX, Rec::REC_EXP, 2000000000},
        {KYR_EXPOSURE, 1234, Rec::REC_EXP, 1234},
        {KYR_GAIN, LongOr32BitLimit(k2To32 + 100), Rec::REC_GAIN, 600},
        {KYR_GAIN, LONG_MIN, Rec::REC_GAIN, 0},
        {KYR_OFFSET, LongOr32BitLimit(-k2To32 + 30), Rec::REC_OFFSET, 0},
    };
    // Each case applies another value than the one before: a repeated
    // exposure request is not sent again.
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "control " << c.type << " value " << c.value);
        Cam().ClearRecorded();
        EXPECT_EQ(KYRSetControlValue(0, c.type, c.value, KYR_FALSE), KYR_SUCCESS);
        const std::vector<Rec::SCall> calls = Cam().Recorded();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].setter, c.setter);
        EXPECT_EQ(calls[0].a, c.applied);
        EXPECT_EQ(Get(c.type), c.applied);
    }
}

// ---- size arithmetic ---------------------------------------------------------------------

// Image byte counts are products of ints computed in 64 bits and refused
// above INT_MAX; in 32 bits 65536 x 65536 x 3 would wrap to 0 and 46341 x
// 46341 to a small positive count.
TEST_F(WidthApiTest, ImageByteProductsAreRefusedNotWrapped) {
    struct {
        int w, h;
        IMG_TYPE type;
        long long bytes;  // -1: refused
    } cases[] = {
        {8288, 5644, IMG_RGB24, 140332416LL},  // the largest sensor, RGB24
        {8288, 5644, IMG_RAW16, 93554944LL},  {46340, 46340, IMG_RAW8, 2147395600LL},
        {INT_MAX, 1, IMG_Y8, INT_MAX},        {46341, 46341, IMG_RAW8, -1},
        {32768, 32768, IMG_RAW16, -1},        {65536, 65536, IMG_RGB24, -1},
        {INT_MAX, INT_MAX, IMG_RGB24, -1},    {INT_MAX, 1, IMG_RAW16, -1},
        {26755, 26755, IMG_RGB24, -1},
    };
    std::vector<unsigned char> buf(kImageBytes);
    long long stored = kImageBytes;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h << " type " << c.type);
        if (c.bytes > 0) {
            EXPECT_EQ(static_cast<long long>(c.w) * c.h *
                          (c.type == IMG_RGB24   ? 3
                           : c.type == IMG_RAW16 ? 2
                                                 : 1),
                      c.bytes);
            ASSERT_EQ(KYRSetROIFormat(0, c.w, c.h, 1, c.type), KYR_SUCCESS);
            stored = c.bytes;
        } else {
            EXPECT_EQ(KYRSetROIFormat(0, c.w, c.h, 1, c.type), KYR_ERROR_INVALID_SIZE);
        }
        // The stored size is the last accepted one, whole: no frame comes, so
        // the reader never writes more than the small buffer holds.
        EXPECT_EQ(KYRGetVideoData(0, buf.data(), static_cast<long>(stored - 1), 0),
                  KYR_ERROR_BUFFER_TOO_SMALL);
        EXPECT_EQ(KYRGetVideoData(0, buf.data(), static_cast<long>(stored), 0), KYR_ERROR_TIMEOUT);
    }
}

class CSizedDriver : public CTestDriver {
  public:
    CSizedDriver(int w, int h) : m_iW(w), m_iH(h) {}
    bool InitCamera() override { return RunInitCamera(*this, m_iW, m_iH); }

  private:
    int m_iW, m_iH;
};

// A camera's frame buffers hold W x H pixels of 2 bytes; products that wrap a
// 32-bit size_t (65536 x 32768 x 2 is 2^32) are refused before anything is
// allocated.
TEST(WidthFrameBuffers, SensorSizesWhoseFrameBytesWrapAreRefused) {
    struct {
        int w, h;
        bool bAccepted;
    } cases[] = {
        {64, 48, true},        {65536, 32768, false}, {46341, 23171, false},
        {65536, 65536, false}, {INT_MAX, 2, false},   {2, INT_MAX, false},
    };
    kyrsim::reset();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h);
        CSizedDriver cam(c.w, c.h);
        EXPECT_EQ(cam.InitCamera(), c.bAccepted);
        EXPECT_EQ(cam.m_pCirBuf != nullptr, c.bAccepted);
        cam.CloseCamera();
    }
    kyrsim::reset();
}

// Marker positions are words: 2 x position + 2 must lie inside the frame,
// computed in 64 bits. In a 32-bit long, 0x40000000 words wrap to a negative
// byte count that passes, and the check reads 2 GiB away from the frame.
TEST(WidthRing, MarkerPositionsBeyondTheFrameAreRefusedAtEveryWidth) {
    constexpr int kFrameBytes = 1024;
    constexpr int kWords = kFrameBytes / 2;
    CirBuf ring(4096, 2);
    ASSERT_TRUE(ring.IsValid());
    ASSERT_TRUE(ring.StartInstBufThr());
    struct {
        int pos;
        bool bInside;
    } cases[] = {
        {kWords - 1, true},  {kWords, false},  {0x3FFFFFFF, false}, {0x40000000, false},
        {0x7FFFFFFE, false}, {INT_MAX, false}, {-1, false},         {INT_MIN, false},
    };
    std::vector<uint8_t> frame(kFrameBytes, 0);
    frame[0] = FRAME_HEAD_MARKER & 0xFF;
    frame[1] = FRAME_HEAD_MARKER >> 8;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "word " << c.pos);
        // The word at the position, where there is one, is the tail marker.
        if (c.bInside) {
            frame[2 * c.pos] = FRAME_TAIL_MARKER & 0xFF;
            frame[2 * c.pos + 1] = FRAME_TAIL_MARKER >> 8;
        }
        const int expected = c.bInside ? INSERT_ACCEPTED : INSERT_REFUSED;
        EXPECT_EQ(
            ring.InsertBuff(frame.data(), kFrameBytes, FRAME_HEAD_MARKER, 0, FRAME_TAIL_MARKER, c.pos, 0, 0),
            expected)
            << "tail";
        if (c.bInside) {
            std::vector<uint8_t> out(kFrameBytes);
            ASSERT_TRUE(ring.ReadBuff(out.data(), kFrameBytes, 5000));
        }
        EXPECT_EQ(ring.InsertBuff(frame.data(), kFrameBytes, 0, 0, 0, 0, c.pos, c.pos),
                  c.bInside ? INSERT_ACCEPTED : INSERT_REFUSED)
            << "counters";
        if (c.bInside) {
            std::vector<uint8_t> out(kFrameBytes);
            ASSERT_TRUE(ring.ReadBuff(out.data(), kFrameBytes, 5000));
        }
    }
    ring.StopInstBufThr();
}

// ---- file sizes and offsets ----------------------------------------------------------------

// Writes a dark frame for the test driver's sensor (64 x 48, 8 bits) whose
// pixels start at dataOffset, into a sparse file.
void WriteDarkAt(const std::string& path, uint32_t dataOffset) {
    uint8_t head[54] = {'B', 'M'};
    auto put32 = [&head](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i) head[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put32(10, dataOffset);
    put32(14, 40);
    put32(18, CTestDriver::kMaxWidth);
    put32(22, CTestDriver::kMaxHeight);
    head[26] = 1;
    head[28] = 8;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(pwrite(fd, head, sizeof(head), 0), static_cast<ssize_t>(sizeof(head)));
    const std::vector<uint8_t> pixels(kImageBytes, 7);
    ASSERT_EQ(pwrite(fd, pixels.data(), pixels.size(), static_cast<off_t>(dataOffset)),
              static_cast<ssize_t>(pixels.size()));
    close(fd);
}

// Files of 2 GiB and more open and are read at 64-bit offsets on every width:
// without them a 32-bit build refuses to open such a file at all, and calls a
// good dark frame a bad path.
TEST_F(WidthApiTest, DarkFramesBeyondTwoGiBLoadAtEveryWidth) {
    const std::string path = std::string(getenv("HOME")) + "/dark.bmp";
    const uint32_t offsets[] = {1078, static_cast<uint32_t>(k2To31) + 1078, 0xFFFFF000u};
    for (uint32_t offset : offsets) {
        SCOPED_TRACE(testing::Message() << "pixels at " << offset);
        ASSERT_NO_FATAL_FAILURE(WriteDarkAt(path, offset));
        EXPECT_EQ(KYREnableDarkSubtract(0, const_cast<char*>(path.c_str())), KYR_SUCCESS);
        EXPECT_EQ(KYRDisableDarkSubtract(0), KYR_SUCCESS);
    }
    unlink(path.c_str());
}

// ---- time arithmetic -----------------------------------------------------------------------

class WidthTickTest : public CFx3DeviceTest {};

// The tick count wraps at 2^32 ms; waits take differences modulo 2^32, so a
// stuck flash erase is given up after its 5 s wherever the count stands,
// across the wrap and across the signed boundary too.
TEST_F(WidthTickTest, EraseDeadlineHoldsAcrossTheTickWrap) {
    ASSERT_TRUE(Fx3().EnableGPIF32DQ(false));
    ASSERT_EQ(kyrsim_set_flash_busy_polls(m_Dev.handle(), INT_MAX), 0);
    const uint32_t starts[] = {0u, 0xFFFFFFFFu - 2500u, 0xFFFFFFFFu, 0x7FFFFFFFu - 2500u};
    for (uint32_t start : starts) {
        SCOPED_TRACE(testing::Message() << "ticks start at " << start);
        CVirtualClock clock(std::chrono::microseconds(0), start);
        EXPECT_EQ(Fx3().EraseSectorOfSPIFlash(5, VR_SPI_ERASE), 1);
        EXPECT_GE(clock.ElapsedUs() / 1000, 5000u);
        EXPECT_LE(clock.ElapsedUs() / 1000, 5002u);
    }
    ASSERT_TRUE(Fx3().EnableGPIF32DQ(true));
}

// Monotonic deadlines of the ring's waits: milliseconds carried into seconds,
// and a wait of INT_MAX ms is a wait, not a deadline in the past.
TEST(WidthRingDeadline, ReadsWaitTheirTimeAndTheLongestWaitUntilStopped) {
    CirBuf ring(64, 2);
    ASSERT_TRUE(ring.IsValid());
    ASSERT_TRUE(ring.StartInstBufThr());
    std::vector<uint8_t> out(64);
    for (int waitMs : {1, 999, 1000, 1001}) {
        SCOPED_TRACE(testing::Message() << "wait " << waitMs << " ms");
        const auto t0 = Clock::now();
        EXPECT_FALSE(ring.ReadBuff(out.data(), 64, waitMs));
        const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
        EXPECT_GE(ms, waitMs);
        EXPECT_LT(ms, waitMs + 2000 * kTestSlowdown);
    }
    std::atomic<bool> bReturned{false};
    std::thread reader([&] {
        std::vector<uint8_t> dst(64);
        EXPECT_FALSE(ring.ReadBuff(dst.data(), 64, INT_MAX));
        bReturned = true;
    });
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(bReturned.load()) << "a wait of INT_MAX ms ended at once";
    ring.SetStopped(true);
    reader.join();
    EXPECT_TRUE(bReturned.load());
    ring.StopInstBufThr();
}

// ---- bytes read through char -----------------------------------------------------------------

// Serial bytes of 0x80 and above: the same bytes back and the same text in
// the log, whatever the signedness of char.
TEST_F(WidthApiTest, SerialBytesAboveSevenBitsReadTheSameAtEveryWidth) {
    KYRCloseCamera(0);
    kyrsim::reset();
    kyrsim_device_config cfg = kyrsim::config(kPid, 1, "1");
    const unsigned char serial[8] = {0xFF, 0x80, 0x7F, 0x00, 0x01, 0xFE, 0x81, 0xC3};
    memcpy(cfg.serial, serial, sizeof(serial));
    m_Dev = kyrsim::plug(cfg);
    ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    const std::string log = CaptureDebugLog([] { EXPECT_EQ(KYRInitCamera(0), KYR_SUCCESS); });
    EXPECT_NE(log.find("SN:ff807f0001fe81c3\n"), std::string::npos) << log;
    KYR_ID sn;
    memset(&sn, 0, sizeof(sn));
    ASSERT_EQ(KYRGetSerialNumber(0, &sn), KYR_SUCCESS);
    EXPECT_EQ(memcmp(sn.id, serial, sizeof(serial)), 0);
}

// Settings bytes of 0x80 and above are stored as two lower-case hex digits
// and read back whole; text bytes of 0x80 and above are no hex digits.
TEST(WidthSettings, HighBytesRoundTripAndHighTextIsNoHex) {
    xmlHandle h;
    ASSERT_EQ(XMLCreateKey("KYRconfig.xml", "software\\width", &h, nullptr), 1);
    const uint8_t bytes[] = {0x00, 0x7F, 0x80, 0xFF, 0xC3, 0xA9};
    XMLSetValueEx(h, "high", nullptr, 3, bytes, sizeof(bytes));
    struct {
        const char* text;
        bool bValid;
    } texts[] = {{"007f80ffc3a9", true}, {"\xc3\xa9", false}, {"0\xff", false}, {"\x80\x80", false}};
    ASSERT_EQ(XMLCloseKey(&h), 1);
    ASSERT_EQ(XMLOpenKey("KYRconfig.xml", "software\\width", &h), 1);
    uint8_t back[sizeof(bytes)] = {};
    int type = 0, length = sizeof(back);
    ASSERT_EQ(XMLQueryValueEx(h, "high", nullptr, &type, back, &length), 1);
    EXPECT_EQ(length, static_cast<int>(sizeof(bytes)));
    EXPECT_EQ(memcmp(back, bytes, sizeof(bytes)), 0);
    for (const auto& t : texts) {
        SCOPED_TRACE(t.text);
        TiXmlElement* el = new TiXmlElement("probe");
        el->SetAttribute("type", 3);
        el->LinkEndChild(new TiXmlText(t.text));
        h.pNode->LinkEndChild(el);
        uint8_t data[8] = {};
        int len = sizeof(data);
        EXPECT_EQ(XMLQueryValueEx(h, "probe", nullptr, &type, data, &len), t.bValid ? 1 : 0);
        h.pNode->RemoveChild(el);
    }
    XMLCloseKey(&h);
}

// ---- unaligned words -------------------------------------------------------------------------

// A frame may sit at any byte address: its marker words and counters are read
// byte by byte (UBSan's alignment check watches the host run).
TEST(WidthRing, FramesAtOddAddressesAreCheckedAndCopiedWhole) {
    constexpr int kFrameBytes = 256;
    constexpr int kWords = kFrameBytes / 2;
    CirBuf ring(kFrameBytes, 2);
    ASSERT_TRUE(ring.IsValid());
    ASSERT_TRUE(ring.StartInstBufThr());
    std::vector<uint8_t> storage(kFrameBytes + 8);
    std::vector<uint8_t> outStorage(kFrameBytes + 8);
    for (int offset : {0, 1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << "frame at byte " << offset);
        uint8_t* frame = storage.data() + offset;
        for (int i = 0; i < kFrameBytes; ++i) frame[i] = static_cast<uint8_t>(i * 7 + offset);
        const uint16_t words[4][2] = {
            {0, FRAME_HEAD_MARKER}, {1, 0x1234}, {kWords - 2, 0x1234}, {kWords - 1, FRAME_TAIL_MARKER}};
        for (const auto& w : words) {
            frame[2 * w[0]] = static_cast<uint8_t>(w[1] & 0xFF);
            frame[2 * w[0] + 1] = static_cast<uint8_t>(w[1] >> 8);
        }
        ASSERT_EQ(ring.InsertBuff(frame, kFrameBytes, FRAME_HEAD_MARKER, 0, FRAME_TAIL_MARKER, kWords - 1, 1,
                                  kWords - 2),
                  INSERT_ACCEPTED);
        uint8_t* out = outStorage.data() + (3 - offset);
        ASSERT_TRUE(ring.ReadBuff(out, kFrameBytes, 5000));
        EXPECT_EQ(memcmp(out, frame, kFrameBytes), 0);
    }
    ring.StopInstBufThr();
}

// ---- record layouts --------------------------------------------------------------------------

// The two exported records with their long fields: 240 and 248 bytes where
// long is 32 bits wide (armhf, the layout callers there are built against),
// and the natural 64-bit layout on a 64-bit host.
TEST(WidthRecords, SizesAndLongFieldOffsets) {
    struct SLayout {
        size_t info, infoMaxHeight, infoMaxWidth, infoPixelSize, infoUnused;
        size_t caps, capsMax, capsMin, capsDefault, capsUnused;
    };
    constexpr SLayout kIlp32 = {240, 68, 72, 184, 224, 248, 192, 196, 200, 216};
    constexpr SLayout kLp64 = {248, 72, 80, 192, 232, 264, 192, 200, 208, 228};
    static_assert(sizeof(long) == 4 || sizeof(long) == 8, "a long of 32 or 64 bits");
#if defined(__arm__)
    static_assert(sizeof(long) == 4, "32-bit ARM has 32-bit longs");
#endif
    const SLayout& want = sizeof(long) == 4 ? kIlp32 : kLp64;
    EXPECT_EQ(sizeof(KYR_CAMERA_INFO), want.info);
    EXPECT_EQ(offsetof(KYR_CAMERA_INFO, max_height), want.infoMaxHeight);
    EXPECT_EQ(offsetof(KYR_CAMERA_INFO, max_width), want.infoMaxWidth);
    EXPECT_EQ(offsetof(KYR_CAMERA_INFO, pixel_size_um), want.infoPixelSize);
    EXPECT_EQ(offsetof(KYR_CAMERA_INFO, unused), want.infoUnused);
    EXPECT_EQ(sizeof(KYR_CONTROL_CAPS), want.caps);
    EXPECT_EQ(offsetof(KYR_CONTROL_CAPS, max_value), want.capsMax);
    EXPECT_EQ(offsetof(KYR_CONTROL_CAPS, min_value), want.capsMin);
    EXPECT_EQ(offsetof(KYR_CONTROL_CAPS, default_value), want.capsDefault);
    EXPECT_EQ(offsetof(KYR_CONTROL_CAPS, unused), want.capsUnused);
}

}  // namespace
