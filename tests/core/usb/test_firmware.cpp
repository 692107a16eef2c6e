// Controller firmware download and SPI flash primitives of the USB transport:
// the sector erase poll, RAM images, the loader-served boot EEPROM (with
// synthetic loader pieces: the real ones are not published), boot images into
// RAM, images into SPI flash and into the I2C boot EEPROMs, and firmware files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Fx3Fixture.h"
#include "kyrsim.hpp"
#include "platform/Platform.h"
#include "usb/CameraFX3.h"
#include "usb/FlashBus.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
    return b;
}

// A controller RAM image of exactly `size` bytes: header, one record of
// `recordBytes` at `address`, the end record, padding.
Bytes RamImage(size_t size, unsigned address, size_t recordBytes) {
    Bytes img(8, 0xC0);
    img.insert(img.end(), {static_cast<uint8_t>(recordBytes >> 8), static_cast<uint8_t>(recordBytes),
                           static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)});
    const Bytes data = Pattern(recordBytes, 3);
    img.insert(img.end(), data.begin(), data.end());
    img.insert(img.end(), {0x80, 0x01, 0xE6, 0x00});
    if (img.size() < size) {
        const Bytes pad = Pattern(size - img.size(), 9);
        img.insert(img.end(), pad.begin(), pad.end());
    }
    return img;
}

void PutLE32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A boot image: "CY", two bytes, then sections (words, address, data) and the end section.
struct Section {
    uint32_t address;
    Bytes data;  // a multiple of 4 bytes
};
Bytes BootImage(const std::vector<Section>& sections, uint32_t entry) {
    Bytes img = {'C', 'Y', 0x1C, 0xB0};
    for (const Section& s : sections) {
        PutLE32(img, static_cast<uint32_t>(s.data.size() / 4));
        PutLE32(img, s.address);
        img.insert(img.end(), s.data.begin(), s.data.end());
    }
    PutLE32(img, 0);
    PutLE32(img, entry);
    PutLE32(img, 0x12345678);  // checksum word, not checked
    return img;
}

// ---- SPI flash primitives ---------------------------------------------------------

// Virtual time: each sleep advances the clock by its length.
struct VirtualClock {
    std::atomic<uint64_t> us{0};
    static uint32_t Now(void* ctx) {
        return static_cast<uint32_t>(static_cast<VirtualClock*>(ctx)->us / 1000);
    }
    static void Sleep(void* ctx, uint32_t us) { static_cast<VirtualClock*>(ctx)->us += us; }
};

class SpiFlashTest : public CFx3DeviceTest {};

TEST_F(SpiFlashTest, ErasePollEndsWhenIdleOnAFailedRequestOrAtTheDeadline) {
    ASSERT_EQ(Fx3().EnableGPIF32DQ(false), true);
    ASSERT_EQ(kyrsim_set_flash_busy_polls(m_Dev.handle(), 3), 0);
    kyrsim::clearLog();
    EXPECT_EQ(Fx3().EraseSectorOfSPIFlash(4, VR_SPI_ERASE), 0);
    const auto log = kyrsim::requests(VR_SPI_ERASE);
    ASSERT_EQ(log.size(), 5u);  // the erase and four polls, the last one idle
    EXPECT_EQ(log[0].value, 1);
    for (const auto& r : log) EXPECT_EQ(r.index, 4);
    EXPECT_EQ(log.back().value, 0);
    EXPECT_EQ(log.back().data[0], 0);

    ASSERT_GE(kyrsim::Fault().request(VR_SPI_ERASE).out().error(LIBUSB_ERROR_PIPE).add(), 0);
    EXPECT_EQ(Fx3().EraseSectorOfSPIFlash(4, VR_SPI_ERASE), 1);
    ASSERT_GE(kyrsim::Fault().request(VR_SPI_ERASE).in().nth(2).error(LIBUSB_ERROR_IO).add(), 0);
    EXPECT_EQ(Fx3().EraseSectorOfSPIFlash(4, VR_SPI_ERASE), 1);
    EXPECT_EQ(Fx3().EraseSectorOfSPIFlash(256, VR_SPI_ERASE), 1) << "past the 16 MiB flash";

    // A part that stays busy: given up after a few seconds of (virtual) time.
    ASSERT_EQ(kyrsim_set_flash_busy_polls(m_Dev.handle(), INT_MAX), 0);
    VirtualClock clock;
    const KyrTimeSource source = {VirtualClock::Now, VirtualClock::Sleep, &clock};
    SetTimeSourceForTest(&source);
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = Fx3().EraseSectorOfSPIFlash(5, VR_SPI_ERASE);
    SetTimeSourceForTest(nullptr);
    EXPECT_EQ(rc, 1);
    EXPECT_GE(clock.us / 1000, 1000u) << "polls at least a second";
    EXPECT_LE(clock.us / 1000, 10000u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(60));
    ASSERT_EQ(Fx3().EnableGPIF32DQ(true), true);
}

TEST_F(SpiFlashTest, BufferIntoFlashErasesProgramsPaddedAndVerifies) {
    constexpr unsigned kBytes = 70000;
    // Exactly the image's bytes on the heap: reading past them is an ASan error.
    std::unique_ptr<uint8_t[]> image(new uint8_t[kBytes]);
    const Bytes pattern = Pattern(kBytes, 1);
    std::copy(pattern.begin(), pattern.end(), image.get());
    ASSERT_TRUE(m_Dev.setFlash(0, Bytes(0x30000, 0x00)));  // programmed: only an erase makes it writable
    EXPECT_EQ(Fx3().DownloadBuftoSPIFLASH(image.get(), kBytes, VR_SPI_ERASE), 0);

    std::vector<int> erased;
    for (const auto& r : RequestsOf(VR_SPI_ERASE, KYRSIM_DIR_OUT)) erased.push_back(r.index);
    EXPECT_EQ(erased, (std::vector<int>{0, 1}));
    long long written = 0;
    for (const auto& r : RequestsOf(VR_SPI_WRITE, KYRSIM_DIR_OUT)) written += r.length;
    EXPECT_EQ(written, 70144);
    EXPECT_EQ(m_Dev.flash(0, kBytes), pattern);
    EXPECT_EQ(m_Dev.flash(kBytes, 144), Bytes(144, 0xFF));
    EXPECT_EQ(m_Dev.flash(0x20000, 1), Bytes{0x00}) << "sector 2 untouched";
    EXPECT_EQ(RequestsOf(VR_SPI_READ, KYRSIM_DIR_IN).size(), RequestsOf(VR_SPI_WRITE, KYRSIM_DIR_OUT).size());
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_FLASH_UNFRAMED), 0);
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_GPIF_TAKEN), 1);

    struct Case {
        const char* what;
        kyrsim::Fault fault;
        int expected;
    };
    const Case cases[] = {
        {"a program ignored once", kyrsim::Fault().request(VR_SPI_WRITE).out().nth(3).ignore(), 0},
        {"a program ignored for good", kyrsim::Fault().request(VR_SPI_WRITE).out().index(8).always().ignore(),
         1},
        {"an erase refused", kyrsim::Fault().request(VR_SPI_ERASE).out().nth(2).error(LIBUSB_ERROR_IO), 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kyrsim_clear_faults();
        ASSERT_GE(c.fault.add(), 0);
        EXPECT_EQ(Fx3().DownloadBuftoSPIFLASH(image.get(), kBytes, VR_SPI_ERASE), c.expected);
        EXPECT_EQ(m_Dev.query(KYRSIM_Q_FLASH_UNFRAMED), 0);
        EXPECT_EQ(m_Dev.query(KYRSIM_Q_GPIF_TAKEN), 1);
        EXPECT_EQ(kyrsim::requests(VR_GPIF_32DQ).back().value, 1);
    }
}

TEST_F(SpiFlashTest, PrimitivesAddressTheRequestsAsTheProtocolSays) {
    uint8_t byte = 0;
    kyrsim::clearLog();
    ASSERT_TRUE(Fx3().DownloadBufferToDevice(0x00051234, 1, &byte, VR_FW_RAM));
    ASSERT_TRUE(Fx3().SetProgramEntry(VR_FW_RAM, 0x00051234));
    EXPECT_FALSE(Fx3().WriteToSPIFlash(&byte, 1, 0x70001, VR_SPI_WRITE)) << "not a page start";
    EXPECT_FALSE(Fx3().ReadFromSPIFlash(&byte, 256, 0x1000000, VR_SPI_READ)) << "past the flash";
    const auto log = kyrsim::requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].value, 0x1234);
    EXPECT_EQ(log[0].index, 0x0005);
    EXPECT_EQ(log[1].value, 0x0005);  // the program entry has the halves the other way round
    EXPECT_EQ(log[1].index, 0x1234);

    EXPECT_FALSE(Fx3().IsBootLoaderRunning());
    ASSERT_TRUE(m_Dev.setFirmwareState(KYRSIM_FW_BOOTLOADER));
    EXPECT_TRUE(Fx3().IsBootLoaderRunning());
    Fx3().CloseDevice();
    kyrsim::clearLog();
    EXPECT_FALSE(Fx3().IsBootLoaderRunning());
    EXPECT_EQ(Fx3().EraseSectorOfSPIFlash(4, VR_SPI_ERASE), 1);
    EXPECT_EQ(kyrsim_log_count(), 0);
}

// ---- Controller RAM, loader and boot EEPROM ------------------------------------------

class LoaderTest : public CFx3DeviceTest {
  protected:
    void SetUp() override {
        CFx3DeviceTest::SetUp();
        m_Vendor1 = Pattern(kVendor1Bytes, 11);
        m_Vendor2 = Pattern(kVendor2Bytes, 12);
    }
    void TearDown() override {
        SetLoaderFirmwareForTest(nullptr);
        CFx3DeviceTest::TearDown();
    }
    void SupplyLoader() {
        const KyrLoaderFirmware fw = {m_Vendor1.data(), m_Vendor2.data()};
        SetLoaderFirmwareForTest(&fw);
    }
    // The loader went in under the CPU hold and runs.
    void ExpectLoaderRan(const std::vector<kyrsim::Request>& log) {
        ASSERT_GE(log.size(), 4u);
        EXPECT_EQ(log[0].value, 0xE600);
        EXPECT_EQ(log[0].data[0], 1);
        EXPECT_EQ(log[1].value, 0);
        EXPECT_EQ(log[1].length, 2048);
        EXPECT_EQ(log[2].value, 2048);
        EXPECT_EQ(log[2].length, 1427);
        EXPECT_EQ(log[3].value, 0xE600);
        EXPECT_EQ(log[3].data[0], 0);
        EXPECT_EQ(m_Dev.ram(0, 2048), m_Vendor1);
        EXPECT_EQ(m_Dev.ram(2048, 1427), m_Vendor2);
    }

    Bytes m_Vendor1, m_Vendor2;
};

TEST_F(LoaderTest, WithoutLoaderPiecesNothingIsSent) {
    const Bytes image = RamImage(8192, 0x1000, 100);
    const std::string log = CaptureDebugLog([&] {
        EXPECT_FALSE(Fx3().UpdateFW(image.data(), static_cast<long>(image.size())));
        EXPECT_FALSE(Fx3().EraseFlash());
    });
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_NE(log.find("cannot update the camera's controller firmware"), std::string::npos) << log;
}

TEST_F(LoaderTest, UpdateIsTrueWhenAnyOfThreeTriesVerifies) {
    SupplyLoader();
    const Bytes image = RamImage(8192, 0x1000, 300);
    for (int failing = 0; failing <= 3; ++failing) {
        SCOPED_TRACE(failing);
        kyrsim_clear_faults();
        ASSERT_TRUE(m_Dev.setFirmwareState(KYRSIM_FW_NORMAL));
        kyrsim::clearLog();
        if (failing > 0) {
            ASSERT_GE(
                kyrsim::Fault().request(VR_EEPROM_PAGE).in().value(4096).times(failing).flipBit(5).add(), 0);
        }
        EXPECT_EQ(Fx3().UpdateFW(image.data(), static_cast<long>(image.size())), failing < 3);
        ExpectLoaderRan(kyrsim::requests(VR_FW_RAM));
        const auto pages = RequestsOf(VR_EEPROM_PAGE, KYRSIM_DIR_OUT);
        const size_t tries = failing < 3 ? failing + 1 : 3;
        ASSERT_EQ(pages.size(), 2 * tries);
        EXPECT_EQ(pages[0].value, 0);
        EXPECT_EQ(pages[0].length, 4096);
        EXPECT_EQ(pages[1].value, 4096);
        EXPECT_EQ(pages[1].length, 4096);
        EXPECT_EQ(m_Dev.eeprom(8, 0, 8192), image);
        // Then the image runs from RAM: its record written, the CPU let go.
        EXPECT_EQ(m_Dev.ram(0x1000, 300), Pattern(300, 3));
        EXPECT_EQ(m_Dev.query(KYRSIM_Q_CPU_HOLD), 0);
        EXPECT_EQ(m_Dev.query(KYRSIM_Q_FW_STATE), KYRSIM_FW_NORMAL);
    }
}

TEST_F(LoaderTest, EraseIsTrueWhenAnyOfThreeTriesVerifies) {
    SupplyLoader();
    Bytes erased(4096, 0);
    erased[0] = 0xC2;
    for (int failing = 0; failing <= 3; ++failing) {
        SCOPED_TRACE(failing);
        kyrsim_clear_faults();
        kyrsim::clearLog();
        if (failing > 0) {
            ASSERT_GE(kyrsim::Fault().request(VR_EEPROM_PAGE).in().times(failing).flipBit(100).add(), 0);
        }
        const std::string log = CaptureDebugLog([&] { EXPECT_EQ(Fx3().EraseFlash(), failing < 3); });
        EXPECT_NE(log.find(failing < 3 ? "erase flash success" : "erase flash false"), std::string::npos);
        ExpectLoaderRan(kyrsim::requests(VR_FW_RAM));
        EXPECT_EQ(RequestsOf(VR_EEPROM_PAGE, KYRSIM_DIR_OUT).size(),
                  static_cast<size_t>(failing < 3 ? failing + 1 : 3));
        EXPECT_EQ(m_Dev.eeprom(8, 0, 4096), erased);
    }
}

TEST_F(LoaderTest, UpdateRefusesImagesThePagesCannotHold) {
    SupplyLoader();
    const Bytes big = RamImage(65537, 0x1000, 16);
    EXPECT_FALSE(Fx3().UpdateFW(big.data(), 65537));
    EXPECT_FALSE(Fx3().UpdateFW(big.data(), 0));
    EXPECT_FALSE(Fx3().UpdateFW(nullptr, 100));
    EXPECT_EQ(kyrsim_log_count(), 0);

    EXPECT_TRUE(Fx3().UpdateFW(big.data(), 65536));
    const auto pages = RequestsOf(VR_EEPROM_PAGE, KYRSIM_DIR_OUT);
    ASSERT_EQ(pages.size(), 16u);
    EXPECT_EQ(pages.back().value, 0xF000);

    Fx3().CloseDevice();
    kyrsim::clearLog();
    EXPECT_FALSE(Fx3().UpdateFW(big.data(), 4096));
    EXPECT_FALSE(Fx3().EraseFlash());
    EXPECT_EQ(kyrsim_log_count(), 0);
}

TEST_F(LoaderTest, RamImageWalkStaysInsideTheImageAndAlwaysReleasesTheCpu) {
    struct Case {
        const char* what;
        Bytes image;
        bool fault;  // the record's RAM write fails
        bool expected;
    };
    Bytes cut = RamImage(0, 0x2000, 64);
    cut.resize(cut.size() - 4);  // no end record
    Bytes past = RamImage(0, 0x2000, 64);
    past[8] = 0x7F;  // record length 0x7F40, far past the image
    const Case cases[] = {
        {"valid", RamImage(0, 0x2000, 64), false, true},
        {"record past the end", past, false, false},
        {"no end record", cut, false, false},
        {"header only", Bytes(8, 0), false, false},
        {"failed RAM write", RamImage(0, 0x2000, 64), true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kyrsim_clear_faults();
        kyrsim::clearLog();
        if (c.fault) {
            ASSERT_GE(kyrsim::Fault().request(VR_FW_RAM).value(0x2000).error(LIBUSB_ERROR_IO).add(), 0);
        }
        // An exact-size copy: reading past it is an ASan error.
        std::unique_ptr<uint8_t[]> image(new uint8_t[c.image.size()]);
        std::copy(c.image.begin(), c.image.end(), image.get());
        EXPECT_EQ(Fx3().UpdateFW2RAM(image.get(), static_cast<long>(c.image.size())), c.expected);
        const auto log = kyrsim::requests(VR_FW_RAM);
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log.front().value, 0xE600);
        EXPECT_EQ(log.front().data[0], 1);
        EXPECT_EQ(log.back().value, 0xE600);
        EXPECT_EQ(log.back().data[0], 0);
        EXPECT_EQ(m_Dev.query(KYRSIM_Q_CPU_HOLD), 0);
    }
}

// ---- Boot images into RAM ------------------------------------------------------------

class BootImageTest : public CFx3DeviceTest {
  protected:
    void SetUp() override {
        CFx3DeviceTest::SetUp();
        ASSERT_TRUE(m_Dev.setFirmwareState(KYRSIM_FW_BOOTLOADER));
    }
    int Download(const Bytes& img) {
        std::unique_ptr<uint8_t[]> copy(new uint8_t[img.size()]);
        std::copy(img.begin(), img.end(), copy.get());
        return Fx3().DownloadFwToRam(copy.get(), static_cast<unsigned>(img.size()), VR_FW_RAM);
    }
};

TEST_F(BootImageTest, ValidImageIsWrittenVerifiedAndStarted) {
    const Section big = {0x40001000, Pattern(3000, 4)};
    const Section small = {0x40008000, Pattern(8, 5)};
    EXPECT_EQ(Download(BootImage({big, small}, 0x40000120)), 0);
    EXPECT_EQ(m_Dev.ram(0x40001000, 3000), big.data);
    EXPECT_EQ(m_Dev.ram(0x40008000, 8), small.data);
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_PROGRAM_ENTRY), 0x40000120);
    // Pieces of at most 2048 bytes, each written and read three times.
    const auto writes = RequestsOf(VR_FW_RAM, KYRSIM_DIR_OUT);
    ASSERT_EQ(writes.size(), 3u * 3 + 1);
    EXPECT_EQ(writes[0].length, 2048);
    EXPECT_EQ(writes[3].length, 952);
    EXPECT_EQ(writes[3].value, 0x1800);
    EXPECT_EQ(writes[3].index, 0x4000);
    EXPECT_EQ(writes.back().length, 0);  // the entry jump
    EXPECT_EQ(writes.back().value, 0x0120);
    EXPECT_EQ(writes.back().index, 0x4000);
    EXPECT_EQ(RequestsOf(VR_FW_RAM, KYRSIM_DIR_IN).size(), 9u);
}

TEST_F(BootImageTest, BrokenImagesAndFailedTransfersGiveTheirCodes) {
    const Section sec = {0x40001000, Pattern(16, 6)};
    const Bytes good = BootImage({sec}, 0x40000000);
    Bytes noSignature = good;
    noSignature[1] = 'X';
    Bytes tooLong = good;
    tooLong[4] = 0xFF;  // 0x000000FF words: 1020 bytes of an image of 40
    tooLong[5] = 0;
    Bytes pastEnd = good;
    pastEnd[4] = 8;  // 32 bytes where 16 and the end section follow
    Bytes cutHeader(good.begin(), good.begin() + 4 + 8 + 16 + 5);
    struct Case {
        const char* what;
        Bytes image;
        int faultDir;  // KYRSIM_DIR_OUT/IN for a failed transfer, -1 none, 2 a flipped read
        int nth;
        int expected;
    };
    const Case cases[] = {
        {"valid", good, -1, 0, 0},
        {"no signature", noSignature, -1, 0, 3},
        {"one byte", Bytes{'C'}, -1, 0, 3},
        {"section longer than the image", tooLong, -1, 0, 8},
        {"section past the end", pastEnd, -1, 0, 5},
        {"cut section header", cutHeader, -1, 0, 5},
        {"write fails in round 1", good, KYRSIM_DIR_OUT, 1, 0},
        {"read fails in round 2", good, KYRSIM_DIR_IN, 2, 0},
        {"write fails in round 3", good, KYRSIM_DIR_OUT, 3, 1},
        {"read fails in round 3", good, KYRSIM_DIR_IN, 3, 1},
        {"round 1 read differs", good, 2, 1, 0},
        {"round 3 read differs", good, 2, 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kyrsim_clear_faults();
        kyrsim::clearLog();
        if (c.faultDir == 2) {
            ASSERT_GE(kyrsim::Fault().request(VR_FW_RAM).in().nth(c.nth).flipBit(3).add(), 0);
        } else if (c.faultDir >= 0) {
            kyrsim::Fault f = kyrsim::Fault().request(VR_FW_RAM).nth(c.nth).error(LIBUSB_ERROR_IO);
            if (c.faultDir == KYRSIM_DIR_IN)
                f.in();
            else
                f.out();
            ASSERT_GE(f.add(), 0);
        }
        EXPECT_EQ(Download(c.image), c.expected);
    }
}

// ---- I2C boot EEPROMs --------------------------------------------------------------

TEST_F(SpiFlashTest, I2CImagesGoToTheDevicesTheirSizeCodeNames) {
    struct Case {
        int code;
        unsigned size;
    };
    // Sizes that cross at least one device, each with a remainder to pad.
    const Case cases[] = {{2, 9000}, {3, 20000}, {4, 40000}, {5, 70000}, {6, 140000}, {7, 200000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        kyrsim::clearLog();
        Bytes image = Pattern(c.size, static_cast<unsigned>(c.code));
        image[2] = static_cast<uint8_t>(c.code << 1);
        std::unique_ptr<uint8_t[]> copy(new uint8_t[c.size]);
        std::copy(image.begin(), image.end(), copy.get());
        ASSERT_EQ(Fx3().DownloadBuftoI2CE2PROM(copy.get(), c.size, VR_I2C_EEPROM_WRITE), 0);

        const unsigned devBytes = c.code == 7 ? 65536 : 4096u << (c.code - 2);
        const int pairedOrder[4] = {0, 4, 1, 5};
        auto where = [&](unsigned offset, int* dev, unsigned* addr) {
            const unsigned k = offset / devBytes;
            *dev = c.code == 7 ? pairedOrder[k] : static_cast<int>(k % 8);
            *addr = offset % devBytes;
        };
        const auto writes = RequestsOf(VR_I2C_EEPROM_WRITE, KYRSIM_DIR_OUT);
        ASSERT_EQ(writes.size(), (c.size + 2047) / 2048);
        for (size_t i = 0; i < writes.size(); ++i) {
            int dev;
            unsigned addr;
            where(static_cast<unsigned>(i * 2048), &dev, &addr);
            EXPECT_EQ(writes[i].value, dev) << "piece " << i;
            EXPECT_EQ(static_cast<unsigned>(writes[i].index), addr) << "piece " << i;
        }
        const unsigned rest = c.size % 2048;
        const unsigned padded = (rest + 63) / 64 * 64;
        EXPECT_EQ(static_cast<unsigned>(writes.back().length), padded);
        const auto reads = RequestsOf(VR_I2C_EEPROM_READ, KYRSIM_DIR_IN);
        ASSERT_EQ(reads.size(), 1u);
        EXPECT_EQ(reads[0].value, writes.back().value);
        EXPECT_EQ(reads[0].index, writes.back().index);
        // Each byte where its device and address say, the padding zero.
        for (unsigned off = 0; off < c.size; off += 2048) {
            int dev;
            unsigned addr;
            where(off, &dev, &addr);
            const unsigned n = std::min(2048u, c.size - off);
            EXPECT_EQ(m_Dev.eeprom(dev, static_cast<int>(addr), static_cast<int>(n)),
                      Bytes(image.begin() + off, image.begin() + off + n))
                << "offset " << off;
        }
        int dev;
        unsigned addr;
        where(c.size - rest, &dev, &addr);
        EXPECT_EQ(m_Dev.eeprom(dev, static_cast<int>(addr + rest), static_cast<int>(padded - rest)),
                  Bytes(padded - rest, 0));
    }
}

TEST_F(SpiFlashTest, I2CImagesWithoutRoomOrWithABadReadBackAreRefused) {
    struct Case {
        const char* what;
        int code;
        unsigned size;
        bool flip;
        int expected;
    };
    const Case cases[] = {
        {"size code 0", 0, 4096, false, 9},
        {"size code 1", 1, 4096, false, 9},
        {"too short for a size code", 2, 2, false, 9},
        {"eight 4 KiB devices and a byte", 2, 8 * 4096 + 1, false, 9},
        {"four paired devices and a byte", 7, 4 * 65536 + 1, false, 9},
        {"eight 4 KiB devices exactly", 2, 8 * 4096, false, 0},
        {"read-back differs", 3, 3000, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kyrsim_clear_faults();
        kyrsim::clearLog();
        Bytes image = Pattern(c.size < 3 ? 3 : c.size, 1);
        image[2] = static_cast<uint8_t>(c.code << 1);
        if (c.flip) {
            ASSERT_GE(kyrsim::Fault().request(VR_I2C_EEPROM_READ).flipBit(7).add(), 0);
        }
        EXPECT_EQ(Fx3().DownloadBuftoI2CE2PROM(image.data(), c.size, VR_I2C_EEPROM_WRITE), c.expected);
        if (c.expected == 9) {
            EXPECT_EQ(kyrsim_log_count(), 0);
        }
    }
}

// ---- Firmware files ----------------------------------------------------------------

TEST_F(SpiFlashTest, FirmwareFilesMustBeNonEmptyRegularFiles) {
    const char* home = getenv("HOME");
    ASSERT_NE(home, nullptr);
    const std::string dir = home;
    auto write = [&](const std::string& name, const Bytes& bytes) {
        const std::string path = dir + "/" + name;
        FILE* f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f) {
            if (!bytes.empty()) {
                EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
            }
            fclose(f);
        }
        return path;
    };
    const std::string boot = write("boot.img", BootImage({{0x40001000, Pattern(64, 2)}}, 0x40000000));
    const std::string empty = write("empty.img", {});
    const std::string fifo = dir + "/fifo.img";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_TRUE(m_Dev.setFirmwareState(KYRSIM_FW_BOOTLOADER));

    EXPECT_EQ(Fx3().DownloadFw((dir + "/missing.img").c_str(), FX3_MEDIA_RAM), 6);
    EXPECT_EQ(Fx3().DownloadFw(empty.c_str(), FX3_MEDIA_RAM), 6);
    EXPECT_EQ(Fx3().DownloadFw(dir.c_str(), FX3_MEDIA_RAM), 6);
    EXPECT_EQ(Fx3().DownloadFw(fifo.c_str(), FX3_MEDIA_RAM), 6) << "no wait on a FIFO without a writer";
    EXPECT_EQ(Fx3().DownloadFw(static_cast<const char*>(nullptr), FX3_MEDIA_RAM), 6);
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_EQ(Fx3().DownloadFw(boot.c_str(), static_cast<FX3_FWDWNLOAD_MEDIA_TYPE>(4)), 2);
    EXPECT_EQ(Fx3().DownloadFw(boot.c_str(), FX3_MEDIA_RAM), 0);
    EXPECT_EQ(m_Dev.ram(0x40001000, 64), Pattern(64, 2));
    EXPECT_EQ(m_Dev.query(KYRSIM_Q_PROGRAM_ENTRY), 0x40000000);
}

}  // namespace
