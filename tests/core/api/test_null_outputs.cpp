// A null output pointer handed to an exported function: refused with
// KYR_ERROR_GENERAL_ERROR before the call does anything, so a caller that
// passed one by mistake is never told that its answer arrived. One table over
// every exported function that answers through pointers, each output null in
// turn, against an open, initialised camera with a finished exposure waiting.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "../camera/test_capture_fixture.h"

namespace {

using capture_test::CCaptureApiTest;
using capture_test::WaitFor;

constexpr int kMaxOutputs = 4;
constexpr size_t kBlockBytes = 1024;  // room for the largest record an output points to
constexpr unsigned char kUntouched = 0xA5;

// The outputs of one call: out[i] is null or a block filled with kUntouched.
using Outputs = void* const*;
template <typename T>
T* Out(Outputs out, int i) {
    return static_cast<T*>(out[i]);
}

struct NullRow {
    const char* name;  // the exported function
    int outputs;       // its output pointers
    KYR_ERROR_CODE (*call)(int id, Outputs out);
};

const NullRow kRows[] = {
    {"KYRGetCameraProperty", 1,
     [](int, Outputs o) { return KYRGetCameraProperty(Out<KYR_CAMERA_INFO>(o, 0), 0); }},
    {"KYRGetCameraPropertyByID", 1,
     [](int id, Outputs o) { return KYRGetCameraPropertyByID(id, Out<KYR_CAMERA_INFO>(o, 0)); }},
    {"KYRGetNumOfControls", 1, [](int id, Outputs o) { return KYRGetNumOfControls(id, Out<int>(o, 0)); }},
    {"KYRGetControlCaps", 1,
     [](int id, Outputs o) { return KYRGetControlCaps(id, 0, Out<KYR_CONTROL_CAPS>(o, 0)); }},
    {"KYRGetControlValue", 2,
     [](int id, Outputs o) {
         return KYRGetControlValue(id, KYR_GAIN, Out<long>(o, 0), Out<KYR_BOOL>(o, 1));
     }},
    {"KYRGetROIFormat", 4,
     [](int id, Outputs o) {
         return KYRGetROIFormat(id, Out<int>(o, 0), Out<int>(o, 1), Out<int>(o, 2), Out<IMG_TYPE>(o, 3));
     }},
    {"KYRGetStartPos", 2,
     [](int id, Outputs o) { return KYRGetStartPos(id, Out<int>(o, 0), Out<int>(o, 1)); }},
    {"KYRGetDroppedFrames", 1, [](int id, Outputs o) { return KYRGetDroppedFrames(id, Out<int>(o, 0)); }},
    {"KYRGetVideoData", 1,
     [](int id, Outputs o) { return KYRGetVideoData(id, Out<unsigned char>(o, 0), kBlockBytes, 0); }},
    {"KYRGetExpStatus", 1,
     [](int id, Outputs o) { return KYRGetExpStatus(id, Out<KYR_EXPOSURE_STATUS>(o, 0)); }},
    {"KYRGetDataAfterExp", 1,
     [](int id, Outputs o) { return KYRGetDataAfterExp(id, Out<unsigned char>(o, 0), kBlockBytes); }},
    {"KYRGetID", 1, [](int id, Outputs o) { return KYRGetID(id, Out<KYR_ID>(o, 0)); }},
    {"KYRGetGainOffset", 4,
     [](int id, Outputs o) {
         return KYRGetGainOffset(id, Out<int>(o, 0), Out<int>(o, 1), Out<int>(o, 2), Out<int>(o, 3));
     }},
    {"KYRGetLMHGainOffset", 4,
     [](int id, Outputs o) {
         return KYRGetLMHGainOffset(id, Out<int>(o, 0), Out<int>(o, 1), Out<int>(o, 2), Out<int>(o, 3));
     }},
    {"KYRGetCameraSupportMode", 1,
     [](int id, Outputs o) { return KYRGetCameraSupportMode(id, Out<KYR_SUPPORTED_MODE>(o, 0)); }},
    {"KYRGetCameraMode", 1, [](int id, Outputs o) { return KYRGetCameraMode(id, Out<CAM_MODE>(o, 0)); }},
    {"KYRGetSerialNumber", 1, [](int id, Outputs o) { return KYRGetSerialNumber(id, Out<KYR_ID>(o, 0)); }},
    {"KYRGetTriggerOutputIOConf", 3,
     [](int id, Outputs o) {
         return KYRGetTriggerOutputIOConf(id, TRIG_OUTPUT_PIN_A, Out<KYR_BOOL>(o, 0), Out<long>(o, 1),
                                          Out<long>(o, 2));
     }},
    {"KYRGetDebugLogIsEnabled", 1,
     [](int id, Outputs o) { return KYRGetDebugLogIsEnabled(id, Out<KYR_BOOL>(o, 0)); }},
};

// Exported functions with a pointer parameter that is not an output to refuse.
const std::set<std::string> kNotRefused = {
    "KYRGetProductIDs",       // a null array asks for the number of product IDs only
    "KYREnableDarkSubtract",  // the pointer is the path it reads (null: KYR_ERROR_INVALID_PATH)
};

// The exported functions of the public header that take a pointer parameter:
// each declaration starts a line with KYRCAMERA_API and ends with ';'.
std::set<std::string> HeaderFunctionsWithPointers() {
    std::ifstream file(KYR_PUBLIC_HEADER);
    std::set<std::string> names;
    std::string line, declaration;
    while (std::getline(file, line)) {
        if (declaration.empty() && line.rfind("KYRCAMERA_API ", 0) != 0) continue;
        declaration += line + ' ';
        if (line.find(';') == std::string::npos) continue;
        const size_t open = declaration.find('(');
        const size_t close = declaration.rfind(')');
        if (open != std::string::npos && close != std::string::npos && close > open) {
            const size_t start = declaration.find_last_of(" *", open - 1) + 1;
            if (declaration.find('*', open) < close) names.insert(declaration.substr(start, open - start));
        }
        declaration.clear();
    }
    return names;
}

class NullOutputTest : public CCaptureApiTest {
  protected:
    // A finished exposure waits for its image, so that a reader that went
    // ahead would show: it would take the exposure and reset its status.
    void FinishExposure() {
        Cam().SetCaptureMode(CTestDriver::CAPTURE_SUCCEED);
        ASSERT_EQ(KYRStartExposure(0, KYR_FALSE), KYR_SUCCESS);
        ASSERT_TRUE(WaitFor([&] { return ExpStatus() == KYR_EXP_SUCCESS; }));
        kyrsim::clearLog();
    }
};

TEST_F(NullOutputTest, TheTableCoversEveryExportedFunctionWithAPointer) {
    std::set<std::string> covered(kNotRefused);
    for (const NullRow& row : kRows) covered.insert(row.name);
    const std::set<std::string> inHeader = HeaderFunctionsWithPointers();
    ASSERT_FALSE(inHeader.empty()) << "no declaration read from " << KYR_PUBLIC_HEADER;
    EXPECT_EQ(covered, inHeader);
}

TEST_F(NullOutputTest, EachNullOutputIsRefusedAndNothingHappens) {
    ASSERT_NO_FATAL_FAILURE(FinishExposure());
    std::vector<std::vector<unsigned char>> blocks(kMaxOutputs, std::vector<unsigned char>(kBlockBytes));
    const std::vector<unsigned char> untouched(kBlockBytes, kUntouched);
    for (const NullRow& row : kRows) {
        for (int nulled = 0; nulled < row.outputs; ++nulled) {
            SCOPED_TRACE(std::string(row.name) + ", output " + std::to_string(nulled) + " null");
            void* out[kMaxOutputs];
            for (int i = 0; i < kMaxOutputs; ++i) {
                blocks[i].assign(kBlockBytes, kUntouched);
                out[i] = i == nulled ? nullptr : blocks[i].data();
            }
            EXPECT_EQ(row.call(0, out), KYR_ERROR_GENERAL_ERROR);
            EXPECT_EQ(kyrsim_log_count(), 0) << "a request reached the camera";
            for (int i = 0; i < row.outputs; ++i) {
                if (i == nulled) continue;
                EXPECT_EQ(blocks[i], untouched) << "output " << i << " was written";
            }
        }
    }
    // The camera is as it was: the driver never read an image, and the
    // finished exposure still hands out its image.
    EXPECT_EQ(Cam().Calls(CTestOpScript::OP_GET_IMAGE), 0);
    EXPECT_EQ(ExpStatus(), KYR_EXP_SUCCESS);
    // The initialised camera's format: full size, RAW8.
    const std::vector<unsigned char> frame(CTestDriver::kMaxWidth * CTestDriver::kMaxHeight, 0x42);
    std::vector<unsigned char> image(frame.size());
    Cam().FeedFrame(frame);
    EXPECT_EQ(KYRGetDataAfterExp(0, image.data(), static_cast<long>(image.size())), KYR_SUCCESS);
    EXPECT_EQ(image, frame);
}

}  // namespace
