// CTestCoolDriver: a cooled driver class for tests of the cooled camera. Its
// pure operations are scripted as in CTestDriver (no capture, GetImage finds
// no frame); its InitCamera does what cooled drivers do: the work buffers,
// the cooler thread, the cooler off and regulation off toward the stored
// target.
#ifndef KYR_TEST_COOL_DRIVER_H
#define KYR_TEST_COOL_DRIVER_H

#include "TestDriver.h"
#include "cooling/CameraCool.h"

class CTestCoolDriver : public CCameraCool, public CTestOpScript {
  public:
    static constexpr int kVendorID = CTestDriver::kVendorID;
    static constexpr int kProductID = 0x832f;  // the cooled 832 model
    static constexpr int kMaxWidth = 64;
    static constexpr int kMaxHeight = 48;

    explicit CTestCoolDriver(const char* szName = "KYR832MC Pro");

    bool InitCamera() override;
    bool SetResolution(int iWidth, int iHeight, int iBin, IMAGE_TYPE imageType) override;
    bool SetStartPos(int iStartX, int iStartY) override;
    bool SetGain(int iGain, bool bAuto) override;
    bool SetRGBBalance(int iRed, int iBlue, bool bAuto) override;
    bool SetExp(unsigned long long ullExposureUs, bool bAuto) override;
    bool GetImage(unsigned char* pBuffer, int iBytes, int iWaitMs) override;

  private:
    char m_szName[64] = {};
};

#endif
