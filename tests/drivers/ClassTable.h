// The mode-table camera classes as their models are published: one row per
// product ID, written down from the models' own descriptions and not from the
// class files, so that the conformance tests hold every class to the same
// independent account of what it is, what it offers and how it must program
// its sensor.
#ifndef KYR_TEST_CLASS_TABLE_H
#define KYR_TEST_CLASS_TABLE_H

#include <stdint.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

#include "KYRCamera.h"

// A control's limits and default.
struct SRange {
    long min, max, def;
};

struct SClassRow {
    // Identity.
    int pid = 0;
    const char* cls = "";
    const char* name = "";
    const char* key = "";  // settings key (the short name)
    // Sensor and description.
    int maxW = 0, maxH = 0;
    double pixelUm = 0;
    bool color = true;
    int bayer = BAYER_RG;
    std::vector<int> bins = {1, 2, 3, 4};
    std::vector<int> sensorBins;  // bins the sensor bins itself (with HardwareBin on where offered)
    bool hardwareBin = false;     // the HardwareBin control is offered
    bool highSpeed = true;        // the HighSpeedMode control is offered
    int bitDepth = 12;
    float eAdu = 0;
    bool cooler = false, ddr = false, st4 = true;
    // Controls.
    SRange gain{0, 600, 200};
    SRange exposure{32, 2000000000, 10000};
    SRange offset{0, 200, 1};
    SRange wbR{1, 99, 55}, wbB{1, 99, 75};  // colour classes only
    SRange bandwidth{40, 100, 50};
    // Geometry: readout width (width x bin) and height (height x bin) multiples, start alignment (unbinned
    // pixels), a height multiple in output pixels, and classes that always centre the window.
    int widthMul = 8, heightMul = 2;
    int startXAlign = 2, startYAlign = 4;  // 0: not checked
    int outHeightMul = 1;
    bool alwaysCentred = false;
    // With HardwareBin on at bin 2 or 4 (the bin in force): image width multiple (doubled at bin 4).
    int hwBinWidthMul = 0;
    // Registers.
    int gainReg = -1;         // the analog gain code register (low byte first), -1: not checked here
    int gainBytes = 1;        // bytes of the gain code
    int topGainCode = 0;      // the code the top gain writes, never exceeded
    long vmaxCap = 0xFFFFFF;  // FPGA VMAX (registers 16-18) never above this
    // The shutter line: its first register (low byte first; -1: not checked) and bytes; it stays in
    // [shrMin, VMAX - shrGap] and below 0x20000.
    int shrReg = -1;
    int shrBytes = 3;
    int shrMin = 0;
    int shrGap = 0;
    int shrMinSensorBin = 0;       // the shortest shutter line (and gap) while the sensor bins; 0: shrMin
    int holdReg = -1;              // sensor register hold, -1 none
    std::vector<uint16_t> held;    // registers written only inside the hold
    std::vector<uint16_t> unheld;  // registers the setters write only outside it
    bool vmaxHeld = false;         // the FPGA's frame length changes inside the hold
    bool trigger = false;          // captures in trigger modes
    int markerRows = 2;            // rows away the frame's marker words are restored from
    bool grey = false;             // mono data read out as grey (neighbouring pixels binned)

    std::vector<IMG_TYPE> Types() const {
        return color ? std::vector<IMG_TYPE>{IMG_RAW8, IMG_RGB24, IMG_Y8, IMG_RAW16}
                     : std::vector<IMG_TYPE>{IMG_RAW8, IMG_RAW16};
    }
    int MaxBin() const { return bins.back(); }
};

namespace class_table {

// Register lists joined.
inline std::vector<uint16_t> Join(std::initializer_list<std::vector<uint16_t>> parts) {
    std::vector<uint16_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The Sony register layout under the hold 0x3001: start, window size, shutter line and offset.
inline std::vector<uint16_t> SonyWindowShutterOffset() {
    return {0x303C, 0x303D, 0x3044, 0x3045, 0x303E, 0x303F, 0x3046,
            0x3047, 0x3050, 0x3051, 0x3052, 0x30DC, 0x30DD};
}
// The start-register layout (815, 801, 825) under the hold 0x3001: start, window, shutter line, gain,
// offset and the sensor's line length.
inline std::vector<uint16_t> StartRegLayout() {
    return {0x302C, 0x302D, 0x3074, 0x3075, 0x302E, 0x302F, 0x3076, 0x3077, 0x3058,
            0x3059, 0x305A, 0x30E8, 0x30E9, 0x3302, 0x3303, 0x3034, 0x3035, 0x3018};
}
// The vertical-start and window rows of the 815 and 801 beside that layout.
inline std::vector<uint16_t> StartRegRows() {
    return {0x308E, 0x308F, 0x30CE, 0x30CF, 0x30C6, 0x30C7, 0x30D8, 0x30D9, 0x3090, 0x3091, 0x3308, 0x3309};
}
// The 0x3034 layout (821, 829, 837): conversion gain, gain, shutter line, start and window.
inline std::vector<uint16_t> Held3034() {
    return {0x3510, 0x3514, 0x3515, 0x3240, 0x3241, 0x3242, 0x3120,
            0x3121, 0x3122, 0x3123, 0x3124, 0x3125, 0x3126, 0x3127};
}
// The 0x302B layout (807, 811): shutter line, long-exposure blanking, gain, offset, crop, frame rows,
// line length and the mode tables' first rows.
inline std::vector<uint16_t> Held302B() {
    return {0x302C, 0x302D, 0x332C, 0x332D, 0x334A, 0x334B, 0x35B6, 0x35B7, 0x36BC, 0x36BD,
            0x35B8, 0x35B9, 0x3092, 0x300A, 0x300B, 0x3012, 0x3042, 0x3035, 0x30DD, 0x3036,
            0x3037, 0x3038, 0x3039, 0x30E0, 0x30E1, 0x30DE, 0x30DF, 0x3130, 0x3131, 0x3132,
            0x3133, 0x3084, 0x3085, 0x3086, 0x3087, 0x3004, 0x3005};
}

// The gain code and the shutter line's register and bounds.
inline void Gain(SClassRow& r, int reg, int bytes, int top) {
    r.gainReg = reg, r.gainBytes = bytes, r.topGainCode = top;
}
inline void Shutter(SClassRow& r, int reg, int bytes, int min, int gap) {
    r.shrReg = reg, r.shrBytes = bytes, r.shrMin = min, r.shrGap = gap;
}

inline SClassRow Row(int pid, const char* cls, const char* name, const char* key, bool pro) {
    SClassRow r;
    r.pid = pid;
    r.cls = cls;
    r.name = name;
    r.key = key;
    r.cooler = pro;
    r.st4 = !pro;
    return r;
}

// Two classes of one model: the uncooled one first, then the cooled twin.
inline void Twins(std::vector<SClassRow>& out, SClassRow base, int pidPro, const char* clsPro,
                  const char* namePro, const char* keyPro, bool ddrPlain, bool ddrPro) {
    SClassRow pro = base;
    base.ddr = ddrPlain;
    pro.pid = pidPro;
    pro.cls = clsPro;
    pro.name = namePro;
    pro.key = keyPro;
    pro.cooler = true;
    pro.st4 = false;
    pro.ddr = ddrPro;
    out.push_back(base);
    out.push_back(pro);
}

// The Sony template layout under the hold 0x3001 with the model's gain and mode registers; the shutter
// line at 0x3050, its line length at 0x302C/0x302D unless given.
inline void Sony(SClassRow& r, std::vector<uint16_t> gainAndModes, int shrMin,
                 std::vector<uint16_t> lineLength = {0x302C, 0x302D}) {
    r.holdReg = 0x3001;
    r.held = Join({SonyWindowShutterOffset(), lineLength, gainAndModes});
    Shutter(r, 0x3050, 3, shrMin, shrMin);
}

inline std::vector<SClassRow> Build() {
    std::vector<SClassRow> t;
    {  // 832: the start-up write 0x3018 comes before each start's hold
        SClassRow r = Row(0x832b, "CCameraS832MC", "VORN KYR832MC", "KYR832MC", false);
        r.maxW = 3840, r.maxH = 2160, r.pixelUm = 2.9, r.eAdu = 11.3f;
        r.sensorBins = {2, 4}, r.hardwareBin = true;
        Sony(r, {0x3030, 0x306C, 0x306D, 0x301B, 0x3022, 0x3023, 0x30D5, 0x4231}, 8);
        r.unheld = {0x3018};
        Gain(r, 0x306C, 1, 150);
        Twins(t, r, 0x832f, "CCameraS832MC_Pro", "VORN KYR832MC Pro", "KYR832MC Pro", true, true);
        t.back().offset = {0, 200, 3};
    }
    {  // 815: always centred, start without alignment
        SClassRow r = Row(0x815b, "CCameraS815MC", "VORN KYR815MC", "KYR815MC", false);
        r.maxW = 3840, r.maxH = 2160, r.pixelUm = 2.0, r.eAdu = 3.18f;
        r.sensorBins = {2, 4}, r.hardwareBin = true;
        r.wbR.def = 52, r.wbB.def = 95;
        r.alwaysCentred = true, r.startXAlign = 1, r.startYAlign = 1;
        r.holdReg = 0x3001, r.held = Join({StartRegLayout(), StartRegRows(), {0x3199, 0x31DD, 0x3300}});
        Gain(r, 0x30E8, 1, 200);
        Shutter(r, 0x3058, 3, 5, 5);
        Twins(t, r, 0x815f, "CCameraS815MC_Pro", "VORN KYR815MC Pro", "KYR815MC Pro", false, true);
    }
    {  // 817: gain at 0x3070
        SClassRow r = Row(0x817b, "CCameraS817MC", "VORN KYR817MC", "KYR817MC", false);
        r.maxW = 1920, r.maxH = 1080, r.pixelUm = 2.9, r.eAdu = 8.95f;
        r.bins = {1, 2}, r.sensorBins = {2}, r.hardwareBin = true;
        r.gain = {0, 600, 0}, r.offset = {0, 300, 15};
        Sony(r, {0x3030, 0x3070, 0x3071, 0x301B, 0x3022, 0x3023, 0x3C38}, 8);
        Gain(r, 0x3070, 1, 150);
        Twins(t, r, 0x817f, "CCameraS817MC_Pro", "VORN KYR817MC Pro", "KYR817MC Pro", true, true);
    }
    {  // 820
        SClassRow r = Row(0x820b, "CCameraS820MC", "VORN KYR820MC", "KYR820MC", false);
        r.maxW = 3840, r.maxH = 2160, r.pixelUm = 2.0, r.eAdu = 2.68f;
        r.sensorBins = {2, 4}, r.hardwareBin = true;
        r.offset = {0, 350, 3}, r.wbR.def = 62, r.wbB.def = 99;
        Sony(r, {0x3030, 0x3070, 0x3071, 0x301B, 0x3022, 0x3023}, 8);
        Gain(r, 0x3070, 1, 173);
        Twins(t, r, 0x820f, "CCameraS820MC_Pro", "VORN KYR820MC Pro", "KYR820MC Pro", true, true);
    }
    {  // 814: start Y even outside hardware binning; width multiple of 12 under hardware bin; line
       // length at 0x3028/0x3029
        SClassRow r = Row(0x814b, "CCameraS814MC", "VORN KYR814MC", "KYR814MC", false);
        r.maxW = 3840, r.maxH = 2160, r.pixelUm = 2.9, r.eAdu = 3.18f;
        r.sensorBins = {2, 4}, r.hardwareBin = true;
        r.offset = {0, 400, 1}, r.wbR.def = 57, r.wbB.def = 68;
        r.startYAlign = 2, r.hwBinWidthMul = 12;
        Sony(r, {0x3034, 0x3084, 0x3085, 0x301C, 0x3020, 0x3021, 0x3022, 0x3031, 0x3032, 0x30D5}, 6,
             {0x3028, 0x3029});
        Gain(r, 0x3084, 1, 173);
        Twins(t, r, 0x814f, "CCameraS814MC_Pro", "VORN KYR814MC Pro", "KYR814MC Pro", false, true);
    }
    {  // 802: no hold, all bins in software, a 12-bit analog gain value and a 16-bit shutter line
        SClassRow r = Row(0x802a, "CCameraS802MC", "VORN KYR802MC", "KYR802MC", false);
        r.maxW = 4072, r.maxH = 3040, r.pixelUm = 1.85, r.eAdu = 7.92f;
        r.gain = {0, 450, 200}, r.offset = {0, 80, 8}, r.wbR.def = 52, r.wbB.def = 95;
        r.startXAlign = 4, r.startYAlign = 2, r.alwaysCentred = true;
        Gain(r, 0x0009, 2, 1956);
        Shutter(r, 0x000B, 2, 8, 4);
        t.push_back(r);
    }
    {  // 801: always centred, start without alignment, the sensor's frame length beside the FPGA's
        SClassRow r = Row(0x801b, "CCameraS801MC", "VORN KYR801MC", "KYR801MC", false);
        r.maxW = 2616, r.maxH = 1960, r.pixelUm = 2.0, r.eAdu = 3.18f;
        r.bins = {1, 2}, r.sensorBins = {2}, r.hardwareBin = true;
        r.wbR.def = 52, r.wbB.def = 95;
        r.startXAlign = 0, r.startYAlign = 0, r.alwaysCentred = true;
        r.holdReg = 0x3001;
        r.held = Join(
            {StartRegLayout(), StartRegRows(), {0x3030, 0x3031, 0x3032, 0x3050, 0x341C, 0x341D, 0x319D}});
        Gain(r, 0x30E8, 1, 200);
        Shutter(r, 0x3058, 3, 9, 9);
        r.shrMinSensorBin = 17;
        Twins(t, r, 0x801f, "CCameraS801MC_Pro", "VORN KYR801MC Pro", "KYR801MC Pro", false, true);
    }
    {  // 825: always centred, conversion gain at 0x3019
        SClassRow r = Row(0x825b, "CCameraS825MC", "VORN KYR825MC", "KYR825MC", false);
        r.maxW = 2712, r.maxH = 1536, r.pixelUm = 2.9, r.eAdu = 2.525f;
        r.bins = {1, 2};
        r.wbR.def = 52, r.wbB.def = 95;
        r.startXAlign = 12, r.startYAlign = 4, r.alwaysCentred = true;
        r.holdReg = 0x3001;
        r.held = Join({StartRegLayout(), {0x3019, 0x3030, 0x3031, 0x3032, 0x3050, 0x319D}});
        Gain(r, 0x30E8, 1, 173);
        Shutter(r, 0x3058, 3, 6, 6);
        SClassRow pro = r;
        pro.pid = 0x825f, pro.cls = "CCameraS825MC_Pro", pro.name = "VORN KYR825MC Pro",
        pro.key = "KYR825MC Pro";
        pro.cooler = true, pro.ddr = true;  // the 825's cooled class keeps its guide port
        t.push_back(r);
        t.push_back(pro);
    }
    {  // 827: start X a multiple of 6, Y even; frame length and shutter line in half lines
        SClassRow r = Row(0x827b, "CCameraS827MC", "VORN KYR827MC", "KYR827MC", false);
        r.maxW = 1920, r.maxH = 1080, r.pixelUm = 5.8, r.eAdu = 11.3f;
        r.bins = {1, 2};
        r.wbR.def = 60, r.wbB.def = 70;
        r.startXAlign = 6, r.startYAlign = 2;
        Sony(r, {0x3034, 0x3084, 0x301C, 0x3020, 0x3021, 0x3022, 0x3031, 0x3032}, 12, {0x3028, 0x3029});
        r.held.erase(std::find(r.held.begin(), r.held.end(), 0x30DD));  // a one-byte offset
        Gain(r, 0x3084, 1, 173);
        Twins(t, r, 0x827f, "CCameraS827MC_Pro", "VORN KYR827MC Pro", "KYR827MC Pro", false, true);
    }
    {  // 809: its own sensor, no hold; a 12-bit gain value and a 16-bit shutter line
        SClassRow r = Row(0x809b, "CCameraS809MC", "VORN KYR809MC", "KYR809MC", false);
        r.maxW = 5320, r.maxH = 3956, r.pixelUm = 3.3, r.eAdu = 2.68f;
        r.highSpeed = false;
        r.gain = {0, 240, 120}, r.offset = {0, 80, 8}, r.wbR.def = 52, r.wbB.def = 95;
        r.startXAlign = 4, r.startYAlign = 2, r.alwaysCentred = true;
        Gain(r, 0x0275, 2, 3836);
        Shutter(r, 0x0207, 2, 4, 4);
        Twins(t, r, 0x809f, "CCameraS809MC_Pro", "VORN KYR809MC Pro", "KYR809MC-Pro", false, true);
    }
    {  // 836: three classes, bins in software; the shutter (SHS) and the FPGA's frame length inside the
       // hold, the window and the mode registers outside it
        SClassRow r = Row(0x836b, "CCameraS836MC", "VORN KYR836MC", "KYR836MC", false);
        r.maxW = 1936, r.maxH = 1096, r.pixelUm = 3.75, r.eAdu = 4.56f;
        r.bins = {1, 2};
        r.offset = {0, 240, 1}, r.wbR.def = 52, r.wbB.def = 95;
        r.startXAlign = 4, r.startYAlign = 2, r.alwaysCentred = true;
        r.holdReg = 0x3001;
        r.held = {0x303C, 0x303D, 0x3038, 0x3039, 0x3014, 0x3015, 0x3020, 0x3021, 0x3022};
        r.unheld = {0x303E, 0x303F, 0x303A, 0x303B, 0x300A, 0x300B, 0x3005, 0x3044, 0x305C};
        r.vmaxHeld = true;
        Gain(r, 0x3014, 2, 540);
        Shutter(r, 0x3020, 3, 0, 2);  // 2 .. rows + 16 within a frame, 0 beyond it
        t.push_back(r);
        SClassRow pro = r;
        pro.pid = 0x836f, pro.cls = "CCameraS836MC_Pro", pro.name = "VORN KYR836MC-Pro",
        pro.key = "KYR836MC-Pro";
        pro.cooler = true, pro.st4 = false, pro.ddr = true;
        t.push_back(pro);
        SClassRow c = r;
        c.pid = 0x836d, c.cls = "CCameraS836MC_C", c.name = "VORN KYR836MC-Cool", c.key = "KYR836MC-C";
        c.cooler = true;
        t.push_back(c);
    }
    {  // 807: mono, the sensor bins 2 and 4 itself, trigger modes; 0x807e builds the cooled class
        SClassRow r = Row(0x811a, "CCameraS807MM", "VORN KYR811MM", "KYR811MM", false);
        r.maxW = 8288, r.maxH = 5644, r.pixelUm = 2.315, r.eAdu = 3.99f;
        r.color = false, r.sensorBins = {2, 4};
        r.gain = {0, 570, 200}, r.offset = {0, 80, 8};
        r.startXAlign = 12, r.startYAlign = 4, r.alwaysCentred = true;
        r.vmaxCap = 0xFFFFF;
        r.holdReg = 0x302B, r.held = Held302B(), r.unheld = {0x3000};
        r.held.push_back(0x30E2);  // the crop mode of full resolution or binning
        Gain(r, 0x300A, 2, 1956);
        Shutter(r, 0x302C, 2, 5, 1);  // 15 beyond a frame at full resolution, 5 binned
        r.trigger = true;
        Twins(t, r, 0x811e, "CCameraS807MM_Pro", "VORN KYR811MM Pro", "KYR811MM-Pro", false, true);
        SClassRow e = t.back();
        e.pid = 0x807e;
        t.push_back(e);
    }
    {  // 811: colour, 14 bits, bins in software
        SClassRow r = Row(0x811b, "CCameraS811MC", "VORN KYR811MC", "KYR811MC", false);
        r.maxW = 4144, r.maxH = 2822, r.pixelUm = 4.63, r.eAdu = 3.99f, r.bitDepth = 14;
        r.gain = {0, 570, 200}, r.offset = {0, 80, 8}, r.wbR.def = 52, r.wbB.def = 95;
        r.startXAlign = 12, r.startYAlign = 4, r.alwaysCentred = true;
        r.vmaxCap = 0xFFFFF;
        r.holdReg = 0x302B, r.held = Held302B(), r.unheld = {0x3000};
        Gain(r, 0x300A, 2, 1956);
        Shutter(r, 0x302C, 2, 5, 1);
        Twins(t, r, 0x811f, "CCameraS811MC_Pro", "VORN KYR811MC Pro", "KYR811MC-Pro", false, true);
    }
    {  // 821: two mono classes and a colour one, bins 1 and 2, no high speed
        SClassRow r = Row(0x821a, "CCameraS821MM", "VORN KYR821MM", "KYR821MM", false);
        r.maxW = 1608, r.maxH = 1104, r.pixelUm = 9.0, r.eAdu = 23.15f;
        r.color = false, r.bayer = 2, r.bins = {1, 2}, r.highSpeed = false;
        r.gain = {0, 350, 200}, r.offset = {0, 10, 1};
        r.startXAlign = 8, r.startYAlign = 8, r.alwaysCentred = true;
        r.vmaxCap = 0xFFFFF;
        r.holdReg = 0x3034, r.held = Held3034(), r.unheld = {0x35C0, 0x35C1}, r.vmaxHeld = true;
        Gain(r, 0x3514, 2, 210);
        Shutter(r, 0x3240, 3, 12, 1);
        r.markerRows = 1;
        Twins(t, r, 0x821e, "CCameraS821MM_Pro", "VORN KYR821MM Pro", "KYR821MM Pro", true, true);
        SClassRow mc = r;
        mc.pid = 0x821b, mc.cls = "CCameraS821MC", mc.name = "VORN KYR821MC", mc.key = "KYR821MC";
        mc.color = true, mc.bayer = BAYER_RG, mc.wbR.def = 50, mc.wbB.def = 50, mc.ddr = true,
        mc.markerRows = 2;
        t.push_back(mc);
    }
    {  // 829: heights a multiple of 8
        SClassRow r = Row(0x8299, "CCameraS829MM", "VORN KYR829MM", "KYR829MM", false);
        r.maxW = 1632, r.maxH = 1248, r.pixelUm = 4.5, r.eAdu = 23.15f;
        r.color = false, r.bayer = 2, r.bins = {1, 2}, r.highSpeed = false;
        r.gain = {0, 480, 200}, r.offset = {0, 120, 1};
        r.startXAlign = 8, r.startYAlign = 16, r.outHeightMul = 8, r.alwaysCentred = true;
        r.vmaxCap = 0xFFFFF;
        r.holdReg = 0x3034, r.held = Held3034(), r.unheld = {0x35C0, 0x35C1}, r.vmaxHeld = true;
        Gain(r, 0x3514, 2, 410);
        Shutter(r, 0x3240, 3, 16, 1);
        r.markerRows = 1;
        Twins(t, r, 0x829e, "CCameraS829MM_Pro", "VORN KYR829MM Pro", "KYR829MM Pro", true, true);
        t.back().eAdu = 3.18f;
    }
    {  // 831: its own register set under the hold 0x3008; the cooled class is a 728 x 544 camera
        SClassRow r = Row(0x831a, "CCameraS831MC", "VORN KYR831MC", "KYR831MC", false);
        r.maxW = 1456, r.maxH = 1088, r.pixelUm = 3.45, r.eAdu = 2.74f;
        r.bins = {1, 2};
        r.gain = {0, 480, 200}, r.offset = {0, 120, 1}, r.wbR.def = 60, r.wbB.def = 99;
        r.startXAlign = 4, r.startYAlign = 4, r.alwaysCentred = true;
        r.holdReg = 0x3008, r.vmaxHeld = true;
        // Gain, shutter line, the very long exposures' block, start and window.
        r.held = {0x3204, 0x3205, 0x308D, 0x308E, 0x308F, 0x40CC, 0x40CD, 0x40D0,
                  0x40D1, 0x40CE, 0x40CF, 0x40D2, 0x40D3, 0x309C, 0x40C9, 0x3024,
                  0x3310, 0x3311, 0x3312, 0x3313, 0x3314, 0x3315, 0x3316, 0x3317};
        // The offset and the mode tables.
        r.unheld = {0x3254, 0x3255, 0x300C, 0x3016, 0x3165, 0x3169, 0x316A, 0x3182, 0x400E, 0x4041, 0x40A2};
        Gain(r, 0x3204, 2, 480);
        Shutter(r, 0x308D, 3, 16, 1);
        Twins(t, r, 0x831e, "CCameraS831MC_Pro", "VORN KYR831MC Pro", "KYR831MC-Pro", false, true);
        t.back().maxW = 728, t.back().maxH = 544, t.back().wbR.def = 50, t.back().wbB.def = 50;
    }
    {  // 837: the small uncooled class carries its own product name; its mode register goes unheld
        SClassRow r = Row(0x8379, "CCameraS837MM_Mini", "VORN KYR842MM Mini", "KYR842MM-Mini", false);
        r.maxW = 816, r.maxH = 624, r.pixelUm = 9.0, r.eAdu = 23.15f;
        r.color = false, r.bayer = 2, r.bins = {1, 2}, r.highSpeed = false;
        r.gain = {0, 600, 200}, r.offset = {0, 120, 1};
        r.startXAlign = 8, r.startYAlign = 16, r.alwaysCentred = true;
        r.vmaxCap = 0xFFFFF;
        r.holdReg = 0x3034, r.held = Held3034(), r.unheld = {0x35C0, 0x35C1, 0x3200}, r.vmaxHeld = true;
        Gain(r, 0x3514, 2, 455);
        Shutter(r, 0x3240, 3, 16, 1);
        r.markerRows = 1;
        Twins(t, r, 0x837e, "CCameraS837MM_Pro", "VORN KYR837MM Pro", "KYR837MM-Pro", false, true);
    }
    {  // S7100 mono: cooled with DDR, no hold; the sensor bins 2, 3 and 4 itself; the shutter is written
       // in line pairs (not checked here)
        SClassRow r = Row(0x710e, "CCameraS7100MM_Pro", "VORN KYR7100MM Pro", "KYR7100MM Pro", true);
        r.maxW = 6248, r.maxH = 4176, r.pixelUm = 3.76, r.eAdu = 0.768f, r.bitDepth = 16;
        r.color = false, r.ddr = true, r.sensorBins = {2, 3, 4}, r.hardwareBin = true;
        r.gain = {0, 700, 200}, r.offset = {0, 240, 1};
        r.startXAlign = 16, r.startYAlign = 2, r.alwaysCentred = true;
        Gain(r, 0x030, 2, 4030);
        r.markerRows = 1, r.grey = true;
        t.push_back(r);
        // Its colour twin: RG, white balance 52 / 95.
        r.pid = 0x710a, r.cls = "CCameraS7100MC_Pro", r.name = "VORN KYR7100MC Pro", r.key = "KYR7100MC Pro";
        r.color = true, r.bayer = BAYER_RG, r.wbR = {1, 99, 52}, r.wbB = {1, 99, 95};
        r.markerRows = 2, r.grey = false;
        t.push_back(r);
    }
    {  // S7300 mono and colour: the S7100's frame on a larger sensor with gain bands; trigger capture
        SClassRow r = Row(0x730b, "CCameraS7300MM_Pro", "VORN KYR7300MM Pro", "KYR7300MM Pro", true);
        r.maxW = 9576, r.maxH = 6388, r.pixelUm = 3.76, r.eAdu = 0.78f, r.bitDepth = 16;
        r.color = false, r.ddr = true, r.sensorBins = {2, 3, 4}, r.hardwareBin = true;
        r.gain = {0, 700, 200}, r.offset = {0, 200, 1};
        r.startXAlign = 16, r.startYAlign = 2, r.alwaysCentred = true;
        r.trigger = true;
        Gain(r, 0x02E, 2, 4030);
        r.markerRows = 1, r.grey = true;
        t.push_back(r);
        r.pid = 0x730a, r.cls = "CCameraS7300MC_Pro", r.name = "VORN KYR7300MC Pro", r.key = "KYR7300MC Pro";
        r.color = true, r.bayer = BAYER_RG, r.wbR = {1, 99, 52}, r.wbB = {1, 99, 95};
        r.markerRows = 2, r.grey = false;
        t.push_back(r);
    }
    {  // S828 mono and colour, uncooled with guide port and cooled: DDR in all four; the sensor bins 2, 3
       // and 4 itself; no high-speed mode
        SClassRow r = Row(0x828a, "CCameraS828MM", "VORN KYR828MM", "KYR828MM", false);
        r.maxW = 3008, r.maxH = 3008, r.pixelUm = 3.76, r.eAdu = 3.18f, r.bitDepth = 14;
        r.color = false, r.sensorBins = {2, 3, 4}, r.hardwareBin = true, r.highSpeed = false;
        r.gain = {0, 600, 200}, r.offset = {0, 100, 1};
        r.startXAlign = 16, r.startYAlign = 2, r.alwaysCentred = true;
        Gain(r, 0x030, 2, 3992);
        r.markerRows = 1, r.grey = true;
        Twins(t, r, 0x828e, "CCameraS828MM_Pro", "VORN KYR828MM Pro", "KYR828MM Pro", true, true);
        r.pid = 0x828b, r.cls = "CCameraS828MC", r.name = "VORN KYR828MC", r.key = "KYR828MC";
        r.color = true, r.bayer = BAYER_RG, r.wbR = {1, 99, 52}, r.wbB = {1, 99, 95};
        r.markerRows = 2, r.grey = false;
        Twins(t, r, 0x828f, "CCameraS828MC_Pro", "VORN KYR828MC Pro", "KYR828MC Pro", true, true);
    }
    {  // S822 and S834 mono: the S7300's frame read as a count of columns from a start column; gain to 600
        SClassRow r = Row(0x822e, "CCameraS822MM_Pro", "VORN KYR822MM Pro", "KYR822MM Pro", true);
        r.maxW = 11656, r.maxH = 8750, r.pixelUm = 3.76, r.eAdu = 0.253f, r.bitDepth = 16;
        r.color = false, r.ddr = true, r.sensorBins = {2, 3, 4}, r.hardwareBin = true;
        r.gain = {0, 600, 200}, r.offset = {0, 200, 1};
        r.startXAlign = 16, r.startYAlign = 2, r.alwaysCentred = true;
        r.trigger = true;
        Gain(r, 0x02E, 2, 3992);
        r.markerRows = 1, r.grey = true;
        t.push_back(r);
        r.pid = 0x834e, r.cls = "CCameraS834MM_Pro", r.name = "VORN KYR834MM Pro", r.key = "KYR834MM Pro";
        r.maxW = 14192, r.maxH = 10640;
        t.push_back(r);
    }
    return t;
}

}  // namespace class_table

// Every row, one per product ID.
inline const std::vector<SClassRow>& ClassTable() {
    static const std::vector<SClassRow> rows = class_table::Build();
    return rows;
}

#endif
