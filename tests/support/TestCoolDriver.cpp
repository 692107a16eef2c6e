#include "TestCoolDriver.h"

#include <stdio.h>

CTestCoolDriver::CTestCoolDriver(const char* szName) {
    m_iVID = kVendorID;
    m_iPID = kProductID;
    snprintf(m_szName, sizeof(m_szName), "%s", szName);
    m_pszName = m_szName;
    m_bCapTemperature = true;
}

bool CTestCoolDriver::InitCamera() {
    if (!RunInitCamera(*this, kMaxWidth, kMaxHeight)) return false;
    StartAutoTempThr();
    SetPowerPerc(0);
    SetAutoTemp(false, static_cast<float>(m_iTargetTemp.load()));
    return true;
}

bool CTestCoolDriver::SetResolution(int, int, int, IMAGE_TYPE) { return Run(OP_SET_RESOLUTION); }
bool CTestCoolDriver::SetStartPos(int, int) { return Run(OP_SET_START_POS); }
bool CTestCoolDriver::SetGain(int, bool) { return Run(OP_SET_GAIN); }
bool CTestCoolDriver::SetRGBBalance(int, int, bool) { return Run(OP_SET_RGB_BALANCE); }
bool CTestCoolDriver::SetExp(unsigned long long, bool) { return Run(OP_SET_EXP); }

bool CTestCoolDriver::GetImage(unsigned char*, int, int) {
    Run(OP_GET_IMAGE);
    return false;
}
