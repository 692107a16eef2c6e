// What the library keeps in the camera's SPI flash and reads from its USB
// controller: the camera ID page (through KYRSetID and KYRGetID), the factory
// serial number, and the compressed hot-pixel map (encoding, storing, loading
// hostile tables). Every flash sequence must leave the parallel bus with the
// image path and never touch the flash while the image path holds it.
#include <gtest/gtest.h>
#include <libusb.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Fx3Fixture.h"
#include "HotPixelEncoder.h"
#include "KYRCamera.h"
#include "TestDriver.h"
#include "api/ModelFactory.h"
#include "camera/CameraBase.h"
#include "kyrsim.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kPid = CTestDriver::kProductID;
constexpr int kIdPage = 0x70000;
constexpr int kHpcAddr = 0x40000;

// wValue of the last parallel-bus request, or -1 without one.
int LastBusValue() {
    const auto bus = kyrsim::requests(VR_GPIF_32DQ);
    return bus.empty() ? -1 : bus.back().value;
}

// The parallel bus is back with the image path and the flash was never
// reached while the image path held it.
void ExpectBusBack(const kyrsim::Device& dev) {
    EXPECT_EQ(dev.query(KYRSIM_Q_FLASH_UNFRAMED), 0);
    EXPECT_EQ(dev.query(KYRSIM_Q_GPIF_TAKEN), 1);
    EXPECT_EQ(LastBusValue(), 1);
}

Bytes Id(uint8_t first) {
    Bytes id(8);
    for (int i = 0; i < 8; ++i) id[static_cast<size_t>(i)] = static_cast<uint8_t>(first + i);
    return id;
}

KYR_ID ToKyrId(const Bytes& b) {
    KYR_ID id;
    memcpy(id.id, b.data(), 8);
    return id;
}

// The ID page with "ID", the ID and a known pattern in bytes 10-255.
Bytes IdPage(const Bytes& id) {
    Bytes page(256);
    for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i ^ 0x5A);
    page[0] = 'I';
    page[1] = 'D';
    std::copy(id.begin(), id.end(), page.begin() + 2);
    return page;
}

// ---- Camera ID and serial number through the exported interface ---------------

CCameraBase* MakeDriver() { return new CTestDriver(kPid); }

class IdApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kyrsim::reset();
        SetCameraConstructorForTest(kPid, MakeDriver);
        m_Dev = kyrsim::plug(kPid, 1, "1");
        ASSERT_EQ(KYRGetNumOfConnectedCameras(), 1);
        ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
        kyrsim::clearLog();
    }
    void TearDown() override {
        EXPECT_EQ(m_Dev.query(KYRSIM_Q_FLASH_UNFRAMED), 0);
        EXPECT_EQ(m_Dev.query(KYRSIM_Q_GPIF_TAKEN), 1);
        KYRCloseCamera(0);
        SetCameraConstructorForTest(kPid, nullptr);
        kyrsim::reset();
    }

    kyrsim::Device m_Dev;
};

TEST_F(IdApiTest, SetIdErasesSectorSevenKeepsTheRestOfThePageAndSurvivesAReopen) {
    const Bytes oldPage = IdPage(Id(0x10));
    ASSERT_TRUE(m_Dev.setFlash(kIdPage, oldPage));
    ASSERT_TRUE(m_Dev.setFlash(kIdPage + 0x1000, {0x12, 0x34}));  // elsewhere in sector 7

    const Bytes id = Id(0xA1);
    ASSERT_EQ(KYRSetID(0, ToKyrId(id)), KYR_SUCCESS);
    EXPECT_EQ(m_Dev.flash(kIdPage, 256), IdPage(id));
    EXPECT_EQ(m_Dev.flash(kIdPage + 0x1000, 2), (Bytes{0xFF, 0xFF})) << "the whole sector is erased";
    const auto erases = RequestsOf(VR_SPI_ERASE, KYRSIM_DIR_OUT);
    ASSERT_EQ(erases.size(), 1u);
    EXPECT_EQ(erases[0].index, 7);
    EXPECT_EQ(erases[0].value, 1);
    ExpectBusBack(m_Dev);

    ASSERT_EQ(KYRCloseCamera(0), KYR_SUCCESS);
    ASSERT_EQ(KYROpenCamera(0), KYR_SUCCESS);
    KYR_ID got;
    memset(&got, 0, sizeof(got));
    ASSERT_EQ(KYRGetID(0, &got), KYR_SUCCESS);
    EXPECT_EQ(Bytes(got.id, got.id + 8), id);
    ExpectBusBack(m_Dev);
}

TEST_F(IdApiTest, SetIdRetriesAMismatchAndFailsAfterThreeTries) {
    enum PageAfter { NEW_ID, OLD_PAGE, ERASED };
    struct Case {
        const char* what;
        kyrsim::Fault fault;
        KYR_ERROR_CODE expected;
        size_t programs;
        PageAfter page;
    };
    const Case cases[] = {
        {"first program ignored", kyrsim::Fault().request(VR_SPI_WRITE).out().ignore(), KYR_SUCCESS, 2,
         NEW_ID},
        {"first read-back with a flipped bit", kyrsim::Fault().request(VR_SPI_READ).nth(2).flipBit(20),
         KYR_SUCCESS, 2, NEW_ID},
        {"two programs ignored", kyrsim::Fault().request(VR_SPI_WRITE).out().times(2).ignore(), KYR_SUCCESS,
         3, NEW_ID},
        {"every program ignored", kyrsim::Fault().request(VR_SPI_WRITE).out().always().ignore(),
         KYR_ERROR_GENERAL_ERROR, 3, ERASED},
        {"erase refused", kyrsim::Fault().request(VR_SPI_ERASE).out().error(LIBUSB_ERROR_PIPE),
         KYR_ERROR_GENERAL_ERROR, 0, OLD_PAGE},
        {"busy poll fails", kyrsim::Fault().request(VR_SPI_ERASE).in().error(LIBUSB_ERROR_IO),
         KYR_ERROR_GENERAL_ERROR, 0, ERASED},
        {"page read fails", kyrsim::Fault().request(VR_SPI_READ).error(LIBUSB_ERROR_IO),
         KYR_ERROR_GENERAL_ERROR, 0, OLD_PAGE},
        {"page read short", kyrsim::Fault().request(VR_SPI_READ).shortReply(100), KYR_ERROR_GENERAL_ERROR, 0,
         OLD_PAGE},
        {"bus release fails", kyrsim::Fault().request(VR_GPIF_32DQ).value(0).error(LIBUSB_ERROR_IO),
         KYR_ERROR_GENERAL_ERROR, 0, OLD_PAGE},
    };
    const Bytes oldPage = IdPage(Id(0x10));
    const Bytes id = Id(0xC1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kyrsim_clear_faults();
        ASSERT_TRUE(m_Dev.setFlash(kIdPage, oldPage));
        kyrsim::clearLog();
        ASSERT_GE(c.fault.add(), 0);
        EXPECT_EQ(KYRSetID(0, ToKyrId(id)), c.expected);
        EXPECT_EQ(RequestsOf(VR_SPI_WRITE, KYRSIM_DIR_OUT).size(), c.programs);
        const Bytes page = m_Dev.flash(kIdPage, 256);
        switch (c.page) {
            case NEW_ID:
                EXPECT_EQ(page, IdPage(id));
                break;
            case OLD_PAGE:
                EXPECT_EQ(page, oldPage);
                break;
            case ERASED:
                EXPECT_EQ(page, Bytes(256, 0xFF));
                break;
        }
        ExpectBusBack(m_Dev);
    }
    if (HasFailure()) return;
    // A failed release sends nothing to the flash.
    kyrsim_clear_faults();
    kyrsim::clearLog();
    ASSERT_GE(kyrsim::Fault().request(VR_GPIF_32DQ).value(0).error(LIBUSB_ERROR_IO).add(), 0);
    EXPECT_EQ(KYRSetID(0, ToKyrId(id)), KYR_ERROR_GENERAL_ERROR);
    EXPECT_EQ(kyrsim::requests(VR_SPI_READ).size() + kyrsim::requests(VR_SPI_ERASE).size(), 0u);
}

TEST_F(IdApiTest, GetIdFailsWithoutTheMarkerOrTheReadAndLeavesTheIdAlone) {
    struct Case {
        const char* what;
        Bytes page;  // empty: erased flash
        bool fail;   // the page read fails
    };
    Bytes noMarker = IdPage(Id(1));
    noMarker[0] = 'X';
    const Case cases[] = {
        {"erased flash", {}, false},
        {"page without ID", noMarker, false},
        {"page read fails", IdPage(Id(1)), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kyrsim_clear_faults();
        kyrsim::clearLog();
        ASSERT_TRUE(m_Dev.setFlash(kIdPage, c.page.empty() ? Bytes(256, 0xFF) : c.page));
        if (c.fail) {
            ASSERT_GE(kyrsim::Fault().request(VR_SPI_READ).error(LIBUSB_ERROR_IO).add(), 0);
        }
        KYR_ID got;
        memset(&got, 0xAA, sizeof(got));
        EXPECT_EQ(KYRGetID(0, &got), KYR_ERROR_GENERAL_ERROR);
        EXPECT_EQ(Bytes(got.id, got.id + 8), Bytes(8, 0xAA));
        ExpectBusBack(m_Dev);
    }
}

TEST_F(IdApiTest, SerialNumberNeedsAWholeNonZeroAnswer) {
    struct Case {
        const char* what;
        Bytes serial;
        int fault;  // 0 none, 1 stall, 2 short answer
        KYR_ERROR_CODE expected;
    };
    const Case cases[] = {
        {"set", {0x4B, 0x59, 0x52, 0, 0, 0, 0x10, 0x07}, 0, KYR_SUCCESS},
        {"zero", Bytes(8, 0), 0, KYR_ERROR_GENERAL_ERROR},
        {"stall", {1, 2, 3, 4, 5, 6, 7, 8}, 1, KYR_ERROR_GENERAL_ERROR},
        {"short answer", {1, 2, 3, 4, 5, 6, 7, 8}, 2, KYR_ERROR_GENERAL_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kyrsim_clear_faults();
        unsigned char sn[8];
        memcpy(sn, c.serial.data(), 8);
        ASSERT_TRUE(m_Dev.setSerial(sn));
        if (c.fault == 1) {
            ASSERT_GE(kyrsim::Fault().request(VR_GET_SERIAL).error(LIBUSB_ERROR_PIPE).add(), 0);
        }
        if (c.fault == 2) {
            ASSERT_GE(kyrsim::Fault().request(VR_GET_SERIAL).shortReply(4).add(), 0);
        }
        KYR_ID got;
        memset(&got, 0xAA, sizeof(got));
        EXPECT_EQ(KYRGetSerialNumber(0, &got), c.expected);
        EXPECT_EQ(Bytes(got.id, got.id + 8), c.expected == KYR_SUCCESS ? c.serial : Bytes(8, 0xAA));
    }
}

// ---- Hot-pixel table encoding ----------------------------------------------------

// A camera object without a device, for the encoding alone; its map holds
// `bytes` bytes (a sensor of 8 x bytes pixels).
class HotPixelCodecTest : public ::testing::Test {
  protected:
    void SetMapBytes(int bytes) {
        m_Cam.m_iMaxWidth = 8 * bytes;
        m_Cam.m_iMaxHeight = 1;
    }
    Bytes Compress(const Bytes& in, bool pairs = true) {
        int n = -1;
        std::unique_ptr<uint8_t[]> out(m_Cam.Compress(in.data(), static_cast<int>(in.size()), &n, pairs));
        if (!out || n < 0) return {};
        return Bytes(out.get(), out.get() + n);
    }
    // The decoded bytes, or {0xEE} when refused.
    Bytes Uncompress(const Bytes& table, bool pairs = true) {
        int n = -1;
        std::unique_ptr<uint8_t[]> out(
            m_Cam.Uncompress(table.data(), static_cast<int>(table.size()), pairs, &n));
        if (!out) return {0xEE};
        return Bytes(out.get(), out.get() + n);
    }

    CTestDriver m_Cam;
};

TEST_F(HotPixelCodecTest, GoldenVectorEncodesExactlyAndBack) {
    Bytes map(1024, 0);
    map[0x12] = 0x01;
    map[0x113] = 0x80;
    const Bytes expected = {'K',  'Y',  'R',  'D',  0x00, 0x00, 0x00, 0x12, 0x21,
                            0x01, 0x00, 0x00, 0x31, 0x80, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Compress(map), expected);
    SetMapBytes(1024);
    EXPECT_EQ(Uncompress(expected), map);
}

TEST_F(HotPixelCodecTest, BlockEdgesOddLengthsAndTinyInputsRoundTrip) {
    struct Case {
        const char* what;
        size_t length;
        std::vector<std::pair<size_t, uint8_t>> set;
    };
    const Case cases[] = {
        {"offset 0 of the first and second block", 512, {{0, 0x01}, {256, 0x40}}},
        {"offset 255 before more input", 512, {{255, 0x11}, {300, 0x02}}},
        {"the last input byte at offset 255", 512, {{511, 0x80}}},
        {"the last input byte inside a block", 300, {{299, 0x03}}},
        {"one byte past a block", 257, {{256, 0xFF}, {255, 0x01}}},
        {"length not a multiple of 256, empty tail", 700, {{3, 0x09}}},
        {"one byte", 1, {{0, 0x80}}},
        {"twelve bytes", 12, {{3, 0x10}, {11, 0x01}}},
        {"twelve empty bytes", 12, {}},
        {"nothing", 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes map(c.length, 0);
        for (const auto& s : c.set) map[s.first] = s.second;
        const Bytes table = Compress(map);
        EXPECT_EQ(table, hpc_test::EncodePairs(map));
        if (c.length == 0) continue;
        SetMapBytes(static_cast<int>(c.length));
        EXPECT_EQ(Uncompress(table), map);
    }
}

TEST_F(HotPixelCodecTest, CrowdedMapIsStoredWhole) {
    // Every byte hot: the table is longer than the map, and still complete.
    Bytes map(4096);
    for (size_t i = 0; i < map.size(); ++i) map[i] = static_cast<uint8_t>(i % 255 + 1);
    const Bytes table = Compress(map);
    EXPECT_EQ(table.size(), 8u + 2 * 4096 + 2 * 15);
    EXPECT_EQ(table, hpc_test::EncodePairs(map));
    SetMapBytes(4096);
    EXPECT_EQ(Uncompress(table), map);
}

TEST_F(HotPixelCodecTest, SparseRandomMapsMatchTheTestEncoder) {
    std::mt19937 rng(20261210);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const size_t length = 1 + rng() % 6000;
        Bytes map(length, 0);
        for (size_t i = 0; i < length; ++i)
            if (rng() % 50 == 0) map[i] = static_cast<uint8_t>(1u << (rng() % 8));
        const Bytes table = Compress(map);
        ASSERT_EQ(table, hpc_test::EncodePairs(map));
        SetMapBytes(static_cast<int>(length));
        ASSERT_EQ(Uncompress(table), map);
    }
}

TEST_F(HotPixelCodecTest, PlainFormCarriesTheBytesAsTheyAre) {
    const Bytes data = {0, 1, 2, 0xFF, 0, 7};
    const Bytes table = Compress(data, false);
    EXPECT_EQ(table, hpc_test::EncodePlain(data));
    EXPECT_EQ(Uncompress(table, false), data);
    EXPECT_EQ(Uncompress(hpc_test::EncodePairs(data), false), Bytes{0xEE}) << "wrong magic";
}

// ---- Hot-pixel table in flash -------------------------------------------------------

// A driver that loads the hot-pixel map during its initialisation, as the
// FPGA camera drivers do.
class CHotPixelDriver : public CTestDriver {
  public:
    bool InitCamera() override {
        if (!CTestDriver::InitCamera()) return false;
        SetHPCStates(true);
        return true;
    }
};

class FlashObjectTest : public ::testing::Test {
  protected:
    static constexpr int kMapBytes = CTestDriver::kMaxWidth * CTestDriver::kMaxHeight / 8;

    void SetUp() override {
        kyrsim::reset();
        m_Dev = kyrsim::plug(kPid, 1, "1");
        ASSERT_TRUE(m_Dev.valid());
        m_pCam = std::make_unique<CHotPixelDriver>();
        snprintf(m_pCam->m_pDevPath, kCameraDevPathBytes, "bus1.port:1,");
        ASSERT_TRUE(m_pCam->OpenCamera(1));
        // The buffers, without loading the map yet.
        ASSERT_TRUE(m_pCam->CTestDriver::InitCamera());
        kyrsim::clearLog();
    }
    void TearDown() override {
        ExpectBusBackIfUsed();
        m_pCam->CloseCamera();
        m_pCam.reset();
        g_bDebugPrint = false;
        kyrsim::reset();
    }
    void ExpectBusBackIfUsed() {
        EXPECT_EQ(m_Dev.query(KYRSIM_Q_FLASH_UNFRAMED), 0);
        EXPECT_EQ(m_Dev.query(KYRSIM_Q_GPIF_TAKEN), 1);
    }
    void ResetFlashTable() { ASSERT_TRUE(m_Dev.setFlash(kHpcAddr, Bytes(0x10000, 0xFF))); }
    Bytes Map() const { return Bytes(m_pCam->m_pHotPixMap, m_pCam->m_pHotPixMap + kMapBytes * 8); }

    kyrsim::Device m_Dev;
    std::unique_ptr<CHotPixelDriver> m_pCam;
};

TEST_F(FlashObjectTest, HostileTablesAreRefusedWithoutReadingPastThem) {
    struct Case {
        const char* what;
        Bytes table;
        bool expected;
        const char* log;  // a line that must be logged, or ""
    };
    // Two block ends take the base to 512, past the 384-byte map.
    const Bytes beyond = {0, 0, 0, 0, 0x00, 0x01};
    const Case cases[] = {
        {"wrong magic", hpc_test::RawTable("KYRX", 10, {0x21, 0x01}), false, "Read SPI Flash get a HPC fail"},
        {"plain magic", hpc_test::RawTable("KYRG", 10, {0x21, 0x01}), false, "Read SPI Flash get a HPC fail"},
        {"length 0x30001", hpc_test::RawTable("KYRD", 0x30001, {0x21, 0x01}), false,
         "LoadHPCTable: HPC data length too big"},
        {"length 0xFFFFFFF0", hpc_test::RawTable("KYRD", 0xFFFFFFF0u, {0x21, 0x01}), false,
         "LoadHPCTable: HPC data length too big"},
        {"length below the header", hpc_test::RawTable("KYRD", 4, {}), false, ""},
        {"empty map", hpc_test::RawTable("KYRD", 8, {}), true, "LoadHPC: Compressed length: 8 :"},
        {"odd payload", hpc_test::RawTable("KYRD", 11, {0x21, 0x01, 0x7F}), true, ""},
        {"a pair beyond the map", hpc_test::RawTable("KYRD", 14, beyond), false,
         "Uncompress over flow,block512,x0,y0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetFlashTable();
        ASSERT_TRUE(m_Dev.setFlash(kHpcAddr, c.table));
        memset(m_pCam->m_pHotPixMap, 0, kMapBytes * 8);
        kyrsim::clearLog();
        bool ok = false;
        const std::string log = CaptureDebugLog([&] { ok = m_pCam->LoadHPCTable(); });
        EXPECT_EQ(ok, c.expected);
        if (*c.log) {
            EXPECT_NE(log.find(c.log), std::string::npos) << log;
        }
        // Only the first piece was read: nothing past the stated length.
        EXPECT_EQ(RequestsOf(VR_SPI_READ, KYRSIM_DIR_IN).size(), 1u);
        ExpectBusBack(m_Dev);
    }
    // The odd payload's whole pair counts, its last byte does not: pixel 8 x 0x12.
    ResetFlashTable();
    ASSERT_TRUE(m_Dev.setFlash(kHpcAddr, hpc_test::RawTable("KYRD", 11, {0x21, 0x01, 0x7F})));
    ASSERT_TRUE(m_pCam->LoadHPCTable());
    Bytes expected(kMapBytes * 8, 0);
    expected[8 * 0x12] = 1;
    EXPECT_EQ(Map(), expected);
}

TEST_F(FlashObjectTest, StatedLengthPastTheProgrammedDataReadsOnlyUpToIt) {
    // The header claims 4196 bytes; only the header and one pair were
    // programmed, the rest reads erased (0xFF pairs land at offset 255).
    ResetFlashTable();
    ASSERT_TRUE(m_Dev.setFlash(kHpcAddr, hpc_test::RawTable("KYRD", 4096 + 100, {0x21, 0x01})));
    ASSERT_TRUE(m_pCam->LoadHPCTable());
    const auto reads = RequestsOf(VR_SPI_READ, KYRSIM_DIR_IN);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0].index * 256, kHpcAddr);
    EXPECT_EQ(reads[0].length, 2048);
    EXPECT_EQ(reads[1].index * 256, kHpcAddr + 2048);
    EXPECT_EQ(reads[1].length, 2048);
    EXPECT_EQ(reads[2].index * 256, kHpcAddr + 4096);
    EXPECT_EQ(reads[2].length, 256) << "the rest rounded up to a page";
    Bytes expected(kMapBytes * 8, 0);
    expected[8 * 0x12] = 1;
    for (int bit = 0; bit < 8; ++bit) expected[8 * 255 + bit] = 1;
    EXPECT_EQ(Map(), expected);
    ExpectBusBack(m_Dev);
}

TEST_F(FlashObjectTest, CompressedTablesOfEveryPieceLayoutReadBackEqual) {
    struct Case {
        const char* what;
        bool pairs;
        int total;  // compressed length L
    };
    const Case cases[] = {
        {"one whole piece, pairs", true, 2048},
        {"one piece and a byte, plain", false, 2049},
        {"two whole pieces, pairs", true, 4096},
        {"two sectors, plain", false, 65537},
    };
    // Pair-form maps of 4096 bytes: 15 block ends, the rest hot bytes.
    {
        CCritSecLock lock(m_pCam->m_csControl);
        m_pCam->m_iMaxWidth = 256;
        m_pCam->m_iMaxHeight = 128;
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes input;
        if (c.pairs) {
            input.assign(4096, 0);
            const int hot = (c.total - 8) / 2 - 15;
            for (int i = 0; i < hot; ++i)
                input[static_cast<size_t>(i) * 4096 / hot] = static_cast<uint8_t>(i % 7 + 1);
        } else {
            input.resize(static_cast<size_t>(c.total - 8));
            for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 31 + 7);
        }
        const Bytes table = c.pairs ? hpc_test::EncodePairs(input) : hpc_test::EncodePlain(input);
        ASSERT_EQ(table.size(), static_cast<size_t>(c.total));
        ASSERT_TRUE(m_Dev.setFlash(kHpcAddr, Bytes(0x20000, 0)));  // programmed: must be erased first
        kyrsim::clearLog();
        ASSERT_TRUE(
            m_pCam->CompressAndWriteIntoFLASH(input.data(), static_cast<unsigned>(input.size()), c.pairs));
        EXPECT_EQ(m_Dev.flash(kHpcAddr, c.total), table);
        std::vector<int> erased;
        for (const auto& r : RequestsOf(VR_SPI_ERASE, KYRSIM_DIR_OUT)) erased.push_back(r.index);
        EXPECT_EQ(erased, c.total > 65536 ? std::vector<int>({4, 5}) : std::vector<int>({4}));
        ExpectBusBack(m_Dev);

        Bytes back(input.size(), 0xEE);
        ASSERT_TRUE(
            m_pCam->ReadFromFLAHAndUnCompress(back.data(), static_cast<unsigned>(back.size()), c.pairs));
        EXPECT_EQ(back, input);
        ExpectBusBack(m_Dev);
    }
    CCritSecLock lock(m_pCam->m_csControl);
    m_pCam->m_iMaxWidth = CTestDriver::kMaxWidth;
    m_pCam->m_iMaxHeight = CTestDriver::kMaxHeight;
}

TEST_F(FlashObjectTest, StoringRetriesEachPieceAndRefusesOversizedTables) {
    Bytes input(5000);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i);
    // A piece whose program was ignored is written again.
    ASSERT_GE(kyrsim::Fault().request(VR_SPI_WRITE).out().nth(2).ignore().add(), 0);
    const std::string log = CaptureDebugLog([&] {
        EXPECT_TRUE(
            m_pCam->CompressAndWriteIntoFLASH(input.data(), static_cast<unsigned>(input.size()), false));
    });
    EXPECT_NE(log.find("fail 1 try again :1"), std::string::npos) << log;
    EXPECT_EQ(m_Dev.flash(kHpcAddr, 5008), hpc_test::EncodePlain(input));
    ExpectBusBack(m_Dev);

    // The last piece ignored three times: false.
    kyrsim_clear_faults();
    ASSERT_GE(
        kyrsim::Fault().request(VR_SPI_WRITE).out().index((kHpcAddr + 4096) / 256).always().ignore().add(),
        0);
    EXPECT_FALSE(m_pCam->CompressAndWriteIntoFLASH(input.data(), static_cast<unsigned>(input.size()), false));
    ExpectBusBack(m_Dev);

    // A table over 0x30000 bytes is refused before any request.
    kyrsim_clear_faults();
    kyrsim::clearLog();
    Bytes big(0x30000 - 7, 1);
    EXPECT_FALSE(m_pCam->CompressAndWriteIntoFLASH(big.data(), static_cast<unsigned>(big.size()), false));
    EXPECT_EQ(kyrsim_log_count(), 0);
}

TEST_F(FlashObjectTest, SavingWithoutADarkFrameWritesNothing) {
    ASSERT_EQ(m_pCam->m_pDarkBuf, nullptr);
    EXPECT_FALSE(m_pCam->SaveHPCTable());
    EXPECT_EQ(kyrsim_log_count(), 0);
}

TEST_F(FlashObjectTest, MapSavedFromTheDarkFrameLoadsBack) {
    constexpr int kPixels = kMapBytes * 8;
    Bytes expected(kPixels, 0);
    {
        CCritSecLock lock(m_pCam->m_csDarkBuf);
        m_pCam->m_pDarkBuf = new uint8_t[kPixels];
        m_pCam->m_iDarkAvg = 20;
        for (int i = 0; i < kPixels; ++i) {
            const bool hot = i % 97 == 5 || i == kPixels - 1;
            m_pCam->m_pDarkBuf[i] =
                static_cast<uint8_t>(hot ? 51 : 50);  // 31 above the mean is hot, 30 is not
            expected[static_cast<size_t>(i)] = hot ? 1 : 0;
        }
    }
    ASSERT_TRUE(m_pCam->SaveHPCTable());
    EXPECT_EQ(Map(), expected);
    memset(m_pCam->m_pHotPixMap, 0, kPixels);
    ASSERT_TRUE(m_pCam->LoadHPCTable());
    EXPECT_EQ(Map(), expected);
}

TEST_F(FlashObjectTest, InitialisationLoadsTheMapLeastSignificantBitFirst) {
    // Erased flash: no table, correction off.
    m_pCam->m_bHPCOn = true;
    std::string log = CaptureDebugLog([&] { ASSERT_TRUE(m_pCam->InitCamera()); });
    EXPECT_FALSE(m_pCam->m_bHPCOn);
    EXPECT_NE(log.find("Load HPC table error"), std::string::npos) << log;
    ExpectBusBack(m_Dev);
    m_pCam->m_bHPCOn = true;
    EXPECT_FALSE(m_pCam->SetHPCStates(true));
    EXPECT_FALSE(m_pCam->m_bHPCOn);

    Bytes packed(kMapBytes, 0);
    packed[0] = 0x05;   // pixels 0 and 2
    packed[10] = 0x80;  // pixel 87
    packed[kMapBytes - 1] = 0x01;
    ASSERT_TRUE(m_Dev.setFlash(kHpcAddr, hpc_test::EncodePairs(packed)));
    log = CaptureDebugLog([&] { ASSERT_TRUE(m_pCam->InitCamera()); });
    EXPECT_TRUE(m_pCam->m_bHPCOn);
    EXPECT_NE(log.find("Load HPC table success"), std::string::npos) << log;
    Bytes expected(kMapBytes * 8, 0);
    expected[0] = expected[2] = expected[87] = expected[8 * (kMapBytes - 1)] = 1;
    EXPECT_EQ(Map(), expected);

    // A loaded map requests a rebuild of the list (seen here without a ROI
    // map, so that nothing rebuilds it at once).
    {
        CCritSecLock lock(m_pCam->m_csHPCTable);
        delete[] m_pCam->m_pHotPixRoi;
        m_pCam->m_pHotPixRoi = nullptr;
    }
    m_pCam->m_bHPCRebuild = false;
    EXPECT_TRUE(m_pCam->LoadHPCTable());
    EXPECT_TRUE(m_pCam->m_bHPCRebuild);
    ASSERT_TRUE(m_pCam->CTestDriver::InitCamera());  // buffers again

    // Switching correction off touches nothing.
    kyrsim::clearLog();
    EXPECT_TRUE(m_pCam->SetHPCStates(false));
    EXPECT_FALSE(m_pCam->m_bHPCOn);
    EXPECT_EQ(kyrsim_log_count(), 0);
}

TEST_F(FlashObjectTest, HotPixelListChangesWithEachGeometryValue) {
    CCameraBase& cam = *m_pCam;
    cam.m_iBin = 2;
    cam.m_bHardwareBin = true;
    cam.m_iWidth = 16;
    cam.m_iHeight = 12;
    cam.m_iStartX = 4;
    cam.m_iStartY = 6;
    const int built[5] = {2, 16, 12, 4, 6};
    auto restore = [&] {
        memcpy(cam.m_iHPCParam, built, sizeof(built));
        cam.m_bHPCHardwareBin = true;
        cam.m_bHPCRebuild = false;
    };
    restore();
    const std::string log = CaptureDebugLog([&] { EXPECT_FALSE(cam.IsHPCChange()); });
    EXPECT_NE(log.find("not changed, return"), std::string::npos);

    struct Case {
        const char* what;
        void (*change)(CCameraBase&);
    };
    const Case cases[] = {
        {"bin", [](CCameraBase& c) { c.m_iBin = 1; }},
        {"hardware bin", [](CCameraBase& c) { c.m_bHardwareBin = false; }},
        {"width", [](CCameraBase& c) { c.m_iWidth = 8; }},
        {"height", [](CCameraBase& c) { c.m_iHeight = 8; }},
        {"start x", [](CCameraBase& c) { c.m_iStartX = 0; }},
        {"start y", [](CCameraBase& c) { c.m_iStartY = 0; }},
        {"rebuild requested", [](CCameraBase& c) { c.m_bHPCRebuild = true; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        restore();
        c.change(cam);
        EXPECT_TRUE(cam.IsHPCChange());
        cam.m_iBin = 2;
        cam.m_bHardwareBin = true;
        cam.m_iWidth = 16;
        cam.m_iHeight = 12;
        cam.m_iStartX = 4;
        cam.m_iStartY = 6;
    }
}

}  // namespace
