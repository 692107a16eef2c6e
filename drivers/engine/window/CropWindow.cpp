// The crop sensor's window (WINDOW_CROP): the sensor crops its columns
// between a start and an end and places its rows by a position, cutting
// rows in binning; the readout-size registers and the FPGA's readout follow
// the size. The kind of the mode in force (full resolution or binning)
// gives the numbers.
#include "cooling/CameraCool.h"
#include "engine/EngineDriver.h"
#include "engine/laws/CropSensorRule.h"
#include "platform/Log.h"

template <class TBase>
bool CEngineDriver<TBase>::CropWindowStart(int, int) {
    const SCropSensorDesc& c = *m_Desc.pCropSensor;
    const SCropModeTiming& t = CropKind();
    const SReadout r = Readout();
    const SCropColumns& cc = t.crop;
    const int start = (this->m_iStartX / cc.iStartDiv) * cc.iStartMul + cc.iStartBase;
    int end = cc.iEndBase - 4 * ((cc.iEndRef - start - r.iCols + cc.iEndSlack) / 4);
    if (end - start < 36) end = start + 36;
    const int pos = this->m_iStartY / t.iPosDiv;
    int cut = 0;
    if (t.bBinning) cut = r.iRows >= c.iCutMinRows ? (c.iCutRowsBin - r.iRows) / 4 : c.iCutDefault;

    CRegPlan plan;
    if (!t.bBinning)
        m_pTiming->AddBlanking(plan, static_cast<uint16_t>(c.iFPGAHBLK), static_cast<uint16_t>(t.iVBLK));
    this->DbgPrint2("SetStartPos", "Crop V-Win Cut:%d, Pos:%d.\n", cut, pos);
    this->DbgPrint2("SetStartPos", "Crop H-Trimming Start:%d, End:%d, HMAXmin:%d.\n", start, end, g_iMinHMAX);
    plan.BeginFrame().Table(c.cropEnableRows);
    if (c.usRegCropMode) plan.Sensor(c.usRegCropMode, t.ucCropMode);
    plan.Sensor(c.usRegCropStart, static_cast<uint8_t>(start & 0xFC))
        .Sensor(static_cast<uint16_t>(c.usRegCropStart + 1), static_cast<uint8_t>(start >> 8))
        .Sensor(c.usRegCropEnd, static_cast<uint8_t>(end & c.ucCropEndLowMask))
        .Sensor(static_cast<uint16_t>(c.usRegCropEnd + 1), static_cast<uint8_t>((end >> 8) & 0xFF))
        .SensorLE(c.usRegPos, static_cast<uint32_t>(pos), 2);
    if (t.bBinning) plan.SensorLE(c.usRegCut, static_cast<uint32_t>(cut), 2);
    plan.EndFrame();
    const bool ok = RunPlan(plan);
    // The exposure counts from the frame the new window makes.
    CalcFrameTime();
    const bool bExp = this->SetExp(this->m_lExpTimeUs, this->m_bAutoExp);
    return ok && bExp;
}

template <class TBase>
bool CEngineDriver<TBase>::CropWindowSize() {
    const SCropSensorDesc& c = *m_Desc.pCropSensor;
    const SCropModeTiming& t = CropKind();
    const SReadout r = Readout();
    const int cut = (c.iCutRowsFull - r.iRows) / 4;
    this->DbgPrint2("Cam_SetResolution", "SetResolution! start pos x:%d y:%d iHeight:%d iWidth:%d \n",
                    this->m_iStartX, this->m_iStartY, this->m_iHeight, this->m_iWidth);
    this->DbgPrint2("Cam_SetResolution", "Crop Write_Vsize:%d, Y_Out_Size:%d.\n", r.iRows + c.iRowsAOffset,
                    r.iRows + c.iRowsBOffset);
    CRegPlan plan;
    plan.BeginFrame();
    if (!t.bBinning) {
        plan.Table(c.cropEnableRows);
        if (c.usRegCropMode) plan.Sensor(c.usRegCropMode, t.ucCropMode);
        plan.SensorLE(c.usRegCut, static_cast<uint32_t>(cut) & 0xFFFF, 2);
    }
    plan.SensorLE(c.usRegRowsA, static_cast<uint32_t>(r.iRows + c.iRowsAOffset), 2)
        .SensorLE(c.usRegRowsB, static_cast<uint32_t>(r.iRows + c.iRowsBOffset), 2)
        .EndFrame();
    if (t.bBinning)
        m_pTiming->AddBlanking(plan, static_cast<uint16_t>(c.iFPGAHBLK), static_cast<uint16_t>(t.iVBLK));
    if (!m_Desc.bNoFPGADataLen) m_pTiming->AddDataLength(plan, static_cast<unsigned int>(r.iFrameBytes / 4));
    m_pTiming->AddReadoutSize(plan, r.iRows, r.iCols);
    return RunPlan(plan);
}

#define KYR_CROP_WINDOW_MEMBERS(BASE)                                 \
    template bool CEngineDriver<BASE>::CropWindowStart(int, int); \
    template bool CEngineDriver<BASE>::CropWindowSize();

KYR_CROP_WINDOW_MEMBERS(CCameraBase)
KYR_CROP_WINDOW_MEMBERS(CCameraCool)
