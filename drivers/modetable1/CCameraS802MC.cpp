#include "CCameraS802MC.h"

#include "engine/EngineRegistrar.h"

namespace {

// Start-up table: the published rows, in their order, with their delay rows.
const REG_TABLE_ROW kInitTable[] = {
    {0x0000, 0x0002},      {REG_TABLE_DELAY, 2}, {0x0000, 0x0000}, {REG_TABLE_DELAY, 10}, {0x0001, 0x0003},
    {0x0006, 0x0000},      {0x0700, 0x0019},     {0x0701, 0x0019}, {REG_TABLE_DELAY, 2},  {0x0000, 0x0000},
    {REG_TABLE_DELAY, 10}, {0x0001, 0x0011},     {0x0002, 0x0001},
};

const REG_TABLE_ROW kMode10BitRows[] = {
    {0x0003, 0x0000}, {0x0004, 0x0000}, {0x0005, 0x0001}, {0x00B6, 0x0047}};
const REG_TABLE_ROW kMode12BitRows[] = {
    {0x0003, 0x0000}, {0x0004, 0x0000}, {0x0005, 0x0007}, {0x00B6, 0x0047}};

// Streaming: standby (0x0000) off, then the sensor's output on; standby on again to stop.
const REG_TABLE_ROW kStreamStartRows[] = {{0x0000, 0x0000}, {REG_TABLE_DELAY, 20}, {0x0001, 0x0011}};
const REG_TABLE_ROW kStreamStopRows[] = {{0x0000, 0x0001}};

const SSensorMode kMode12Bit = {.szName = "12-bit",
                                .regs = RegTable(kMode12BitRows),
                                .eAdc = ADC_12BIT,
                                .bOut16FromType = true,
                                .iVBLK = 0,
                                .iHBLK = 0,
                                .iMinHMAX = 180,
                                .iExtraLines = 0,
                                .iShutterOffsetClocks = 201};
const SSensorMode kMode10Bit = {.szName = "10-bit",
                                .regs = RegTable(kMode10BitRows),
                                .eAdc = ADC_10BIT,
                                .bOut16FromType = false,
                                .iVBLK = 0,
                                .iHBLK = 0,
                                .iMinHMAX = 150,
                                .iExtraLines = 0,
                                .iShutterOffsetClocks = 149};

// Frame length of every exposure within a frame, and its window offsets on the FPGA.
const SRawFpgaRule kRawFpga = {
    .iHStartBase = 96,
    .iVStartBase = 22,
    .iFixedVMAX = 3083,
    .ucCtrlAfterReset = 0x30,
    .uResetPulseMs = 20,
    .ucInitDataFmt = 0x01,
};

// Long exposures: the trigger signal up, the exposure slept at once up to
// 1,000,999 us and in 200 ms steps beyond; a wait ended early tells the
// sensor (0x0002 = 1); the signal down starts the readout.
const SLongExpAction kLongOpen[] = {{LONG_OP_TRIGGER_SIGNAL, 1, 0, LONG_WHEN_ALWAYS}};
const SLongExpAction kLongEarlyEnd[] = {{LONG_OP_SENSOR, 1, 0x0002, LONG_WHEN_ALWAYS}};
const SLongExpAction kLongClose[] = {{LONG_OP_TRIGGER_SIGNAL, 0, 0, LONG_WHEN_ALWAYS}};
const SLongExpScript kLongExp = {
    .open = LongExpActions(kLongOpen),
    .ullOneSleepMaxUs = 1000999,
    .uStepMs = 200,
    .close = LongExpActions(kLongClose),
    .uReadoutWaitMs = 1000,
    .iMaxReloads = 0,
    .earlyEnd = LongExpActions(kLongEarlyEnd),
};

// Gain range in 0.1 dB.
constexpr int kGainMax = 450;
// The shutter line stays this many lines before the frame's end.
constexpr long long kSHRGapToVMAX = 4;

void GainPairWrites(CRegPlan& plan, uint16_t usCode, const SSensorMode& mode) {
    const std::pair<int, int> pq = CCameraS802MC::GainPair(usCode, &mode == &kMode10Bit);
    plan.Sensor(0x0352, static_cast<uint8_t>(pq.first))
        .Sensor(0x0353, 0)
        .Sensor(0x0356, static_cast<uint8_t>(pq.second))
        .Sensor(0x0357, 0);
}

// The shutter line counts from the frame's start: a frame of the fixed
// length, the exposure's lines from its end; the sensor's shutter starts
// the mode's offset in clocks late. Longer than a frame: the frame grows.
SExposureRegs Exposure802(const SExposureRule& rule, const SExposureInput& in) {
    long long vmax;
    long long shr;
    if (in.dExposureUs > static_cast<double>(in.uFrameUs)) {
        const double lines =
            in.dLineUs > 0.0 ? in.dExposureUs / in.dLineUs : static_cast<double>(rule.uVMAXMax);
        vmax =
            (lines >= rule.uVMAXMax ? static_cast<long long>(rule.uVMAXMax) : static_cast<long long>(lines)) +
            rule.iLongExtraLines;
        shr = rule.iMinSHR;
    } else {
        const long long clocks =
            static_cast<long long>(in.dExposureUs) * in.iClockKHz / 1000 - in.iOffsetClocks;
        const long long lines = clocks > 0 && in.iHMAX > 0 ? clocks / in.iHMAX : 0;
        vmax = in.iFixedVMAX;
        shr = vmax - lines;
        if (shr < rule.iMinSHR) shr = rule.iMinSHR;
        if (shr > vmax - kSHRGapToVMAX) shr = vmax - kSHRGapToVMAX;
        if (shr > static_cast<long long>(rule.uSHRMax)) shr = rule.uSHRMax;
    }
    if (vmax > static_cast<long long>(rule.uVMAXMax)) vmax = rule.uVMAXMax;
    return SExposureRegs{static_cast<uint32_t>(vmax), static_cast<uint32_t>(shr)};
}

SModelConstants Model802() {
    SModelConstants m = TemplateModelConstants();
    m.szName = "VORN KYR802MC";
    m.szShortName = "KYR802MC";
    m.iPID = 0x802a;
    m.dPixelSize = 1.85;
    m.ucBins[0] = 2;
    m.ucBins[1] = 3;
    m.ucBins[2] = 4;
    m.iGainMax = kGainMax;
    m.iAutoGainMax = 225;
    m.iOffsetHighestDR = 10;
    m.iOffsetUnityGain = 27;
    m.iOffsetLowestRN = 90;
    m.iGainLowestRN = 240;
    m.iUnityGain = 179;
    m.iWBRDef = 52;
    m.iWBBDef = 95;
    m.iMaxWidth = 4072;
    m.iMaxHeight = 3040;
    m.fElecPerADU = 7.92f;
    m.iOffsetDef = 8;
    m.iOffsetMax = 80;
    m.bCapTemperature = false;
    m.iST4 = 1;
    m.usHMAX = 180;
    return m;
}

}  // namespace

// No register hold, no standby register and no DDR buffer: those fields stay empty.
const SDriverDesc g_DescS802MC = {
    .szClassName = "CCameraS802MC",
    .model = Model802(),
    .initTable = RegTable(kInitTable),
    .uResetPauseMs = 20,
    .eReplay = REPLAY_GAIN_EXP,
    .pModeNormal = &kMode12Bit,
    .pModeHighSpeed = &kMode10Bit,
    .bResolutionKeepsHighSpeed = true,
    .timingInit = {0, 0, 180, 0, 380000},
    .iAlignX = 4,
    .iAlignY = 2,
    .bAlwaysCentre = true,
    .eWindow = WINDOW_RAW_FPGA,
    .streamStartRows = RegTable(kStreamStartRows),
    .streamStopRows = RegTable(kStreamStopRows),
    .iFixedClockKHz = 20000,
    .iMinClockKHz = 20000,
    .iUSBBandwidthUSB3 = 380000,
    .iUSBBandwidthUSB2 = 43272,
    .gain =
        {
            .fnMap = nullptr,
            .usRegConvGain = 0,
            .usRegCode = 0x0009,
            .iCodeBytes = 2,
            .iDigitalFrom = 270,
            .iDigitalStep = 60,
            .usRegDigital = 0x0011,
            .fnModeWrites = GainPairWrites,
            // Analog gain in 0.1 dB to the sensor's code: 2048 - 2048 x 10^(-gain / 200).
            .iPowerLawScale = 2048,
        },
    .offset = {.usReg = 0x0045, .iBytes = 2, .eOrder = BYTES_ONE_REGISTER},
    .exposure =
        {
            .fnCompute = Exposure802,
            .usRegSHR = 0x000B,
            .iSHRBytes = 6,  // SHR in 0x000B/0x000C, the four registers after it 0
            .iMinSHR = 8,
            .iLongExtraLines = 8,
            .iLongBinExtraLines = 8,
            .uVMAXMax = 0xFFFFFF,
            .uSHRLimit = 0x10000,
            .uSHRMax = 0xFFFF,
            .iExpLinesGap = 2,
            .ullLongFromUs = 1000000,
            .eLongProgram = LONG_EXP_EXPOSURE,
        },
    .bandwidth =
        {
            .iHostUSB3 = 380000,
            .iHostUSB2 = 43272,
            .iAutoPercUSB3 = 100,
            .iAutoPercUSB2 = 80,
            .iHMAXMax = 0xFFFF,
            .iFrameExtraLines = 0,
            .iBandwidthExtraLines = 43,
            .iFixedFrameLines = 3082,  // the fixed frame less its first line
        },
    .pLongExp = &kLongExp,
    .eTiming = TIMING_RAW_FPGA,
    .pRawFpga = &kRawFpga,
    .bHardwareBinIgnored = true,
};

CCameraS802MC::CCameraS802MC() : CEngineDriver(g_DescS802MC) {
    // The capture loop's values of this camera.
    m_Capture.uResetPauseMs = 20;
    m_Capture.iMaxEmpty = 4;
    m_Capture.uNextWaitCapMs = 100;
    CalcParaVal();
}

std::pair<int, int> CCameraS802MC::GainPair(int iCode, bool b10Bit) {
    if (!b10Bit) return {60, 59};
    // Upper ends of contiguous code ranges; a code between two published
    // ranges joins the lower one.
    static const struct {
        int iUpTo, iP, iQ;
    } kPairs[] = {{327, 30, 29}, {1025, 32, 31}, {1325, 37, 36}, {1687, 39, 38}, {1867, 43, 42}};
    for (const auto& row : kPairs)
        if (iCode <= row.iUpTo) return {row.iP, row.iQ};
    return {47, 46};
}

void CCameraS802MC::CalcParaVal() {
    CCritSecLock lock(m_csControl);
    const SFpgaWindow w = CEngineDriver::CalcWindow();
    m_iSensorRows = w.iRows;
    m_iSensorCols = w.iCols;
    m_iVMAXBase = w.iVMAX;
    m_iFPGAHStart = w.iHStart;
    m_iFPGAVStart = w.iVStart;
}

SFpgaWindow CCameraS802MC::CalcWindow() {
    CCritSecLock lock(m_csControl);
    CalcParaVal();
    return SFpgaWindow{m_iFPGAHStart, m_iFPGAVStart, m_iSensorCols, m_iSensorRows, m_iVMAXBase};
}

bool CCameraS802MC::ChangeFPGACtrl(uint8_t ucClear, uint8_t ucSet, bool bWrite) {
    // Setters on the caller's thread and the capture thread's stream start
    // and stop change it; each change and its write are one step. A failed
    // write leaves the shadow at the value last known to be in force.
    CCritSecLock lock(m_csControl);
    const uint8_t ucCtrl = static_cast<uint8_t>((m_ucFPGACtrlShadow & ~ucClear) | ucSet);
    if (bWrite && !WriteFPGAREG(FPGA_REG_CTRL, ucCtrl)) return false;
    m_ucFPGACtrlShadow = ucCtrl;
    return true;
}

namespace {
const CEngineRegistrar<CCameraS802MC> kRegistrar("CCameraS802MC", g_DescS802MC);
}  // namespace
