// The usb part: the USB transport to a camera (CCameraFX3, whose bulk
// transfers, FPGA access and firmware download live in CameraFX3Bulk,
// CameraFX3Fpga and CameraFX3Firmware), the FPGA register map (FpgaRegs.h),
// the framing of SPI flash sequences (FlashBus.h) and USB port paths
// (DevPath.h). It uses libusb-1.0 and the platform part only.
//
// CCameraFX3: the USB transport of every camera object. It owns the camera
// object's libusb context, the device handle once open, and the USB lock that
// serialises the camera's control transfers. The camera's USB controller
// forwards vendor requests to the sensor, the FPGA, the SPI flash and the
// temperature sensors.
#ifndef KYR_CAMERA_FX3_H
#define KYR_CAMERA_FX3_H

#include <stdint.h>

#include <atomic>

#include "platform/Platform.h"
#include "usb/FpgaRegs.h"

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;

// Vendor requests: control transfers, type vendor, recipient device.
enum VENDOR_REQUEST : uint8_t {
    VR_READ_HUMIDITY = 0x85,
    VR_FW_RAM = 0xA0,
    VR_CLK_24M = 0xA3,
    VR_CLK_48M = 0xA4,
    VR_WRITE_SENSOR_REG16 = 0xA6,
    VR_READ_SENSOR_REG16 = 0xA7,
    VR_START_STREAM = 0xA9,
    VR_EEPROM_PAGE = 0xA9,
    VR_STOP_STREAM = 0xAA,
    VR_OUTPUT_8BIT = 0xAB,
    VR_OUTPUT_16BIT = 0xAC,
    VR_GET_FW_VERSION = 0xAD,
    VR_CMD_AE = 0xAE,
    VR_CMD_AF = 0xAF,
    VR_GUIDE_ON = 0xB0,
    VR_GUIDE_OFF = 0xB1,
    VR_SET_COOLER_DA = 0xB2,
    VR_READ_TEMP_I2C = 0xB3,
    VR_IS_USB3 = 0xB4,
    VR_SET_XFER_COUNT = 0xB5,
    VR_WRITE_SENSOR_REG8 = 0xB6,
    VR_READ_SENSOR_REG8 = 0xB7,
    VR_I2C_EEPROM_WRITE = 0xBA,
    VR_I2C_EEPROM_READ = 0xBB,
    VR_READ_FPGA_REG = 0xBC,
    VR_WRITE_FPGA_REG = 0xBD,
    VR_GPIF_32DQ = 0xBE,
    VR_SPI_WRITE = 0xC2,
    VR_SPI_READ = 0xC3,
    VR_SPI_ERASE = 0xC4,
    VR_READ_TEMP_ADC = 0xC7,
    VR_GET_SERIAL = 0xC8,
    VR_GPIF_STATUS = 0xFD,
};

// Media of the controller firmware download (DownloadFw).
enum FX3_FWDWNLOAD_MEDIA_TYPE {
    FX3_MEDIA_RAM = 1,
    FX3_MEDIA_I2C_EEPROM = 2,
    FX3_MEDIA_SPI_FLASH = 3,
};

// The library's version text and build tag.
#define KYR_SDK_VERSION "1, 26, 0, 0"
#define KYR_SDK_BUILD "08041650"

class CCameraFX3 {
public:
    CCameraFX3();
    virtual ~CCameraFX3();
    CCameraFX3(const CCameraFX3&) = delete;
    CCameraFX3& operator=(const CCameraFX3&) = delete;

    // Vendor-request primitives. Short form: OUT, wValue 0, wIndex 0, no data,
    // 200 ms. Long form: 500 ms; succeeds only when the full length moved, and
    // a length outside 0..65535 is refused without a transfer. Both return
    // false at once while the device is closed.
    bool SendCMD(uint8_t request);
    bool SendCMD(uint8_t request, uint16_t wValue, uint16_t wIndex, bool in, uint8_t* data, long length);

    // Sensor registers. A read that fails returns false and gives 0.
    bool WriteCameraRegister(uint16_t reg, uint16_t value);
    bool ReadCameraRegister(uint16_t reg, uint16_t* value);
    bool WriteCameraRegisterByte(uint16_t reg, uint8_t value);
    bool ReadCameraRegisterByte(uint16_t reg, uint8_t* value);
    bool WriteSONYREG(uint16_t reg, uint8_t value) { return WriteCameraRegisterByte(reg, value); }
    bool ReadSONYREG(uint16_t reg, uint8_t* value) { return ReadCameraRegisterByte(reg, value); }
    // Bit-field read-modify-writes, atomic under the USB lock. _B replaces bits
    // firstBit..lastBit, Byte_B bits firstBit up to lastBit exclusive; a failed
    // read writes nothing and returns false.
    bool WriteCameraRegister_B(uint16_t reg, uint8_t firstBit, uint8_t lastBit, uint16_t value);
    bool WriteCameraRegisterByte_B(uint16_t reg, uint8_t firstBit, uint8_t lastBit, uint8_t value);

    // FPGA registers.
    bool WriteFPGAREG(uint16_t reg, uint16_t value);
    bool ReadFPGAREG(uint16_t reg, uint8_t* value);

    bool EnableGPIF32DQ(bool enable);
    bool GetGPIFStatus(uint8_t* status);

    // Firmware version as the camera object keeps it ('V',3 is 0x30); 0 on failure.
    bool GetFirmwareVer(uint8_t* ver);
    bool GetFirmwareVer();
    // FPGA version word and digits; true only when every register read did,
    // and the outputs are left alone otherwise.
    bool GetFPGAVer(uint16_t* ver, uint8_t digits[4]);
    bool GetFPGAVer();
    void GetFPGAVerVal(uint16_t* ver, uint8_t digits[4]);
    bool IsUSB3Host();
    void CameraPID(int pid) { m_iCameraPID = pid; }

    // libusb's result; the handle stays open (dead after a re-enumerating
    // reset, for the reconnection to close).
    bool ResetEndPoint(uint8_t endpoint);
    bool ResetDevice();
    bool SetXferSize(unsigned int size);
    void CloseDevice();

    // FPGA control (register map in FpgaRegs.h). Each read-modify-write and
    // latched sequence holds the USB lock as a whole. A failed read writes
    // nothing and keeps the shadow; a latched setter fails when any of its
    // writes failed and releases the latch all the same.
    // Control word, register 0.
    bool FPGAReset();
    bool FPGAStart();
    bool FPGAStop();
    bool SetFPGAAsMaster(bool master);
    bool EnableFPGAWaitMode(bool enable);
    bool EnableFPGATriggerMode(bool enable);
    bool SetFPGALVDSChannel(LVDS_CHANNEL channel);
    // Latched multi-byte values.
    bool SetFPGAHBLK(uint16_t hblk);
    bool SetFPGAWidth(int width);
    bool SetFPGAVBLK(uint16_t vblk);
    bool SetFPGAHeight(int height);
    bool SetFPGAGain(int red, int green1, int green2, int blue);
    bool SetFPGAVMAX(unsigned int vmax);
    bool SetFPGAHMAX(uint16_t hmax);
    bool SetFPGABandWidth(float percent);
    bool SetExtTrigExpTime(unsigned int us);
    bool SetExtSyncADelayTime(unsigned int time);
    bool SetExtSyncAKeepTime(unsigned int time);
    bool SetExtSyncBDelayTime(unsigned int time);
    bool SetExtSyncBKeepTime(unsigned int time);
    bool SetFPGABinDataLen(unsigned int length);
    // Bits of registers 10, 11, 25, 39, 40 and 41.
    bool SetFPGAADCWidthOutputWidth(ADC_BIT adc, bool out16);
    bool SetFPGAPatternSelect(bool pattern);
    bool EnableFPGADDRMultiFrameCache(bool enable);
    bool EnableFPGADDR(bool enable);
    bool EnableFPGATriggerSignal(bool enable);
    bool EnableFPGAXHSStop(bool enable);
    bool EnableFPGASensorReset(bool enable);
    bool EnableLowPower(bool enable);
    bool EnableWarm(bool enable);
    bool EnableCfan(bool enable);
    bool SetFPGABinType(bool monoBin);
    bool SelectExtTrigSource(bool external);
    bool SelectExtTrigExp(bool select);
    bool SelectExtTrigSoftMode(bool select);
    bool SelectExtTrigType(bool select);
    bool SelectExtTrigValidType(bool select);
    bool EnableExtSyncA(bool enable);
    bool EnableExtSyncB(bool enable);
    bool SelectExtSyncALevel(bool high);
    bool SelectExtSyncBLevel(bool high);
    // Bin mode, DDR cache, cooler, I/O and heater.
    bool SetFPGABinMode(FPGA_BIN_MODE mode);
    bool FPGABufReload();
    bool FPGADDRTest();
    bool SetFPGACoolPower(int power);
    bool SetExtendIOValue(uint8_t value);
    bool SetFPGAHeaterPowerPercent(uint8_t percent);

    // Controller firmware download and SPI flash (CameraFX3Firmware.cpp).
    // Primitives: one request each, never framing the parallel bus (their
    // callers do). Buffer transfers address wValue = bits 0-15, wIndex = bits
    // 16-31; the program entry the other way round. Flash addresses are
    // multiples of 256 below 16 MiB.
    bool DownloadBufferToDevice(unsigned int address, uint16_t length, const uint8_t* data, uint8_t request);
    bool UploadBufferFromDevice(unsigned int address, uint16_t length, uint8_t* data, uint8_t request);
    bool SetProgramEntry(uint8_t request, unsigned int address);
    bool IsBootLoaderRunning();
    // 0 once the busy byte reads 0; 1 when a request fails or the camera stays
    // busy past the erase deadline.
    int EraseSectorOfSPIFlash(unsigned int sector, uint8_t request);
    bool WriteToSPIFlash(const uint8_t* data, unsigned int length, unsigned int address, uint8_t request);
    bool ReadFromSPIFlash(uint8_t* data, unsigned int length, unsigned int address, uint8_t request);
    // Runs a controller RAM image (8 header bytes, then records of length,
    // address and data, big-endian, up to the end record) with the CPU held
    // while it is written. False when a record runs past the image or a write
    // fails; the CPU is released in every case.
    bool UpdateFW2RAM(const uint8_t* image, long length);
    // Boot EEPROM through the loader firmware. Both need the loader pieces,
    // which the shipped library does not carry: without them false at once,
    // nothing sent.
    bool EraseFlash();
    // At most 16 pages of 4096 bytes; written, read back and compared up to 3
    // times, then run from RAM.
    bool UpdateFW(const uint8_t* image, long length);
    // Codes: 0 done; 1 failed or mismatched transfer; 3 no C-Y signature;
    // 5 a section or header past the image; 6 no usable file; 7 an erase
    // failed; 8 a section longer than the image; 9 a bad EEPROM size code or
    // an image larger than the EEPROMs.
    int DownloadFwToRam(const uint8_t* image, unsigned int length, uint8_t request);
    int DownloadBuftoSPIFLASH(const uint8_t* image, unsigned int length, uint8_t eraseRequest);
    int DownloadBuftoI2CE2PROM(const uint8_t* image, unsigned int length, uint8_t request);
    int DownloadFw(const char* path, FX3_FWDWNLOAD_MEDIA_TYPE media);
    int DownloadFw(const uint8_t* image, unsigned int length, FX3_FWDWNLOAD_MEDIA_TYPE media);

    // Asynchronous bulk transfers (CameraFX3Bulk.cpp). Only the capture or
    // trigger thread uses a set; the callbacks run inside whichever thread
    // handles the context's events (usually that thread, but a control
    // transfer on another thread may run them). A transfer is never submitted
    // again or freed while libusb still owns it: cancelled transfers are
    // drained (bounded) before a call returns, and one that does not come back
    // is kept and logged, not freed; nor are its completion word and the
    // buffer it targets (see IsXferTarget).
    //
    // Multi-transfer set: a frame of `total` bytes cut into `count` transfers
    // of `size` bytes (the last takes the rest) into `buffer`, less than
    // 200 MiB in flight. A later call with more transfers rebuilds the set.
    // False, and nothing changed, for a size of 200 MiB or more, lengths that
    // do not fit together, a closed device, or no memory.
    bool initAsyncXfer(int total, int count, int size, uint8_t endpoint, uint8_t* buffer);
    // Points the set at another frame buffer of the same length, without
    // reallocating; false while a transfer is in flight.
    bool setAsyncXferBuf(uint8_t* buffer);
    // Reads one frame. Each transfer is waited for up to firstMs, events are
    // handled in slices of at most 100 ms (or nextMs after the first
    // transfer), and the wait ends when *pbRunning clears (null: never).
    // Nothing is in flight on return. *got: the bytes received, or expected
    // when the frame came exactly 512 bytes short. Returns 1.
    int startAsyncXfer(unsigned int firstMs, unsigned int nextMs, int* got, std::atomic<bool>* pbRunning,
                       int expected);
    void releaseAsyncXfer();
    // True when a transfer of either set that has not come back targets
    // memory inside [pBuf, pBuf + bytes): such memory must not be freed.
    bool IsXferTarget(const uint8_t* pBuf, size_t bytes) const;
    // Single-read set: `length` bytes in transfers of 1 MiB, each submitted
    // and waited for on its own with libusb's timeout. begin returns the
    // number of transfers, LIBUSB_ERROR_NO_MEM or another libusb error;
    // waitForAsyncXfer submits transfer i, waits for it and returns the
    // libusb code of its status (XferStatusToError) with its bytes in *length;
    // finishAsyncXfer frees the whole set (n is the count begin returned).
    int beginAsyncXfer(uint8_t endpoint, uint8_t* buffer, int length, unsigned int timeoutMs);
    int waitForAsyncXfer(int i, int* length);
    void finishAsyncXfer(int n);
    // Points the single-read set at another buffer of the same length,
    // without reallocating; false while a transfer is in flight.
    bool setSingleXferBuf(uint8_t* buffer);
    // libusb error code of a transfer status: completed 0, error and cancelled
    // LIBUSB_ERROR_IO, timed out LIBUSB_ERROR_TIMEOUT, stall LIBUSB_ERROR_PIPE,
    // no device LIBUSB_ERROR_NO_DEVICE, overflow LIBUSB_ERROR_OVERFLOW, any
    // other LIBUSB_ERROR_OTHER.
    static int XferStatusToError(int status);
    // Both sets released (releaseAsyncXfer, finishAsyncXfer): a set with a
    // transfer that never came back is kept whole, so IsXferTarget still
    // tells which memory it may write.
    void releaseAllAsyncXfers();
    // At destruction: releases both sets, then leaves a transfer that never
    // came back to libusb with its completion word and its buffer (logged);
    // only the sets' pointer arrays go.
    void AbandonAsyncXfers();

    // Shadows of FPGA registers, kept by the FPGA setters.
    uint8_t m_ucFPGAReg0 = 0;
    uint8_t m_ucFPGAReg10 = 0;
    uint8_t m_ucFPGAReg11 = 0;
    uint8_t m_ucFPGAReg25 = 0;
    uint8_t m_ucFPGAReg24 = 0;
    uint8_t m_ucFPGAReg40 = 0;
    uint8_t m_ucFPGAReg41 = 0;
    uint8_t m_ucFPGAReg39 = 0;
    std::atomic<bool> m_bOpened{false};
    libusb_context* m_pUsbContext = nullptr;
    libusb_device_handle* m_hDevice = nullptr;
    S_MUTEX_UNIX m_csUsb;
    int32_t m_iXferLen = -1;
    int32_t m_iXferStatus = 0;
    int32_t m_iXferTotal = 0;
    uint8_t m_ucFirmwareVer = 0;
    uint16_t m_usFPGAVer = 0;
    uint8_t m_ucFPGAVerDigits[4] = {0, 0, 0, 0};
    int32_t m_iCameraPID = -1;
    int32_t m_iXferCount = 0;
    int32_t m_iXferWindow = 0;
    int32_t m_iXferSize = 0;       // bytes of each transfer but the last
    int32_t m_iXferAllocated = 0;  // transfers the arrays hold
    // Per transfer: 0 while libusb owns it, 1 once its callback ran (or never
    // submitted). A transfer's own word is its user data. The callback may run
    // on any thread that handles the context's events, so the words are
    // atomic (stored with release, read with acquire).
    std::atomic<int32_t>* m_pXferDone = nullptr;
    libusb_transfer** m_pXfers = nullptr;
    libusb_transfer** m_pSingleXfers = nullptr;
    std::atomic<int32_t>* m_pSingleXferDone = nullptr;
    int32_t m_iSingleXferCount = 0;
};

#endif
