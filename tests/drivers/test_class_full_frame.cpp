// test-labels: conformance fullframe serial
// Every mode-table class streams its full frame at bin 1 in both raw types:
// two frames in a row, each the whole frame the camera sent, and no frame
// counted as dropped between them.
#include <vector>

#include "CaptureCheck.h"
#include "ConformanceFixture.h"

namespace {

// The first frame comes after the stream's start and the simulated camera's
// first rendering of its scene at this size; a loaded machine stretches both.
constexpr int kFirstFrameWaitMs = 60000;
constexpr int kNextFrameWaitMs = 20000;
constexpr long kExposureUs = 100000;

using CFullFrame = CConformanceTest;

TEST_P(CFullFrame, StreamsTwoWholeFramesInARowAtBin1InEachRawType) {
    CONFORMANCE_OPEN();
    const SClassRow& row = Row();
    // Frames at most every 100 ms (the largest ones come slower, at the link's
    // pace): a reader on a loaded machine keeps up with them.
    ASSERT_EQ(KYRSetControlValue(0, KYR_EXPOSURE, kExposureUs, KYR_FALSE), KYR_SUCCESS);
    for (IMG_TYPE type : {IMG_RAW8, IMG_RAW16}) {
        SCOPED_TRACE(testing::Message() << row.maxW << "x" << row.maxH << " type " << type);
        ASSERT_EQ(KYRSetROIFormat(0, row.maxW, row.maxH, 1, type), KYR_SUCCESS);
        const SReadout readout = RowReadout(row, row.maxW, row.maxH, 1, type);
        const size_t bytes = static_cast<size_t>(row.maxW) * row.maxH * ImageBytesPerPixel(type);
        ASSERT_EQ(static_cast<size_t>(readout.iFrameBytes), bytes);
        std::vector<std::vector<unsigned char>> images(2, std::vector<unsigned char>(bytes, 0xEE));
        ASSERT_EQ(KYRStartVideoCapture(0), KYR_SUCCESS);
        // The stream's first frame comes once the capture has started up;
        // the two frames in a row are taken after it.
        KYR_ERROR_CODE rc[3];
        rc[0] = KYRGetVideoData(0, images[0].data(), static_cast<long>(bytes), kFirstFrameWaitMs);
        int droppedBefore = -1, droppedAfter = -1;
        EXPECT_EQ(KYRGetDroppedFrames(0, &droppedBefore), KYR_SUCCESS);
        for (int i = 0; i < 2; ++i)
            rc[i + 1] = rc[i] == KYR_SUCCESS
                            ? KYRGetVideoData(0, images[i].data(), static_cast<long>(bytes), kNextFrameWaitMs)
                            : rc[i];
        EXPECT_EQ(KYRGetDroppedFrames(0, &droppedAfter), KYR_SUCCESS);
        ASSERT_EQ(KYRStopVideoCapture(0), KYR_SUCCESS);
        ASSERT_EQ(rc[0], KYR_SUCCESS) << "the stream's first frame";
        ASSERT_EQ(rc[1], KYR_SUCCESS) << "first frame in a row";
        ASSERT_EQ(rc[2], KYR_SUCCESS) << "second frame in a row";
        EXPECT_EQ(droppedAfter, droppedBefore) << "frames dropped between the two";
        // The scene stands still: every frame the camera sent is the same
        // but for its markers, which the image restores from inside it.
        const std::vector<unsigned char> sent = SentFrame(m_dev.handle(), readout.iFrameBytes);
        ASSERT_EQ(sent.size(), bytes) << "the camera sent no frame of the full size";
        const std::vector<unsigned char> want =
            ReferenceImage(sent, row.maxW, row.maxH, type, false, readout, row.markerRows, row.grey);
        EXPECT_TRUE(images[0] == want) << "first frame in a row";
        EXPECT_TRUE(images[1] == want) << "second frame in a row";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CFullFrame, ::testing::ValuesIn(AllRows()), RowName);

}  // namespace
