// Pictures from real PipeWire streams: whatever the producer's format, crop and stride,
// the capturer hands out exactly the producer's pixels of the crop, as B, G, R, X, and
// never the cursor that rides along as metadata.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PipeWireTestSupport.h"

namespace orvo::testing {
namespace {

struct PictureCase {
  std::string name;
  std::vector<std::string> options;
  // The picture expected: the buffer's size, and the crop's origin and size in it.
  int bufferWidth, bufferHeight;
  int cropX, cropY, width, height;
};

std::ostream& operator<<(std::ostream& out, const PictureCase& c) { return out << c.name; }

class PipeWirePictures : public PipeWireSuite, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(PipeWirePictures, ArriveAsTheProducersPixelsOfTheCrop) {
  const PictureCase& c = GetParam();
  auto producer = startProducer(c.options);
  ASSERT_TRUE(streamFrom(*producer, 7));

  auto picture = capture(7);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, c.width);
  EXPECT_EQ(picture->height, c.height);
  EXPECT_GE(picture->stride, picture->width * 4);
  EXPECT_TRUE(showsPattern(*picture, c.bufferWidth, c.bufferHeight, c.cropX, c.cropY));
  EXPECT_EQ(capturer->pictureSize(7), (std::pair{c.width, c.height}));
  EXPECT_EQ(recorder.sizes(), (std::vector<EventRecorder::Size>{{7, c.width, c.height}}));
  EXPECT_TRUE(recorder.ends(7).empty()) << recorder.ends(7).front().reason;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PipeWirePictures,
    ::testing::Values(
        // The four formats, channels in either order, alpha ignored.
        PictureCase{"BGRx", {"--format", "BGRx", "--size", "300x260"}, 300, 260, 0, 0, 300, 260},
        PictureCase{"RGBx", {"--format", "RGBx", "--size", "300x260"}, 300, 260, 0, 0, 300, 260},
        PictureCase{"BGRA", {"--format", "BGRA", "--size", "96x64"}, 96, 64, 0, 0, 96, 64},
        PictureCase{"RGBA", {"--format", "RGBA", "--size", "96x64"}, 96, 64, 0, 0, 96, 64},
        // gstreamer's pipewiresink leaves the stride at 0.
        PictureCase{"BGRxStride0", {"--format", "BGRx", "--size", "97x61", "--stride0"}, 97, 61, 0, 0, 97, 61},
        PictureCase{"RGBxStride0", {"--format", "RGBx", "--size", "97x61", "--stride0"}, 97, 61, 0, 0, 97, 61},
        // GNOME's window streams: a monitor-sized buffer, the window at the top left.
        PictureCase{"CropTopLeft", {"--size", "1280x800", "--crop", "0,0,640,480"}, 1280, 800, 0, 0, 640, 480},
        PictureCase{"CropInside", {"--format", "RGBx", "--size", "300x260", "--crop", "37,21,150,100"}, 300, 260, 37,
                    21, 150, 100},
        PictureCase{"CropWithStride0", {"--size", "300x260", "--crop", "37,21,150,100", "--stride0"}, 300, 260, 37, 21,
                    150, 100},
        // A crop reaching past the buffer is clipped to it; one of zero size is no crop.
        PictureCase{"CropBeyondTheBuffer", {"--size", "96x64", "--crop", "80,50,100,100"}, 96, 64, 80, 50, 16, 14},
        PictureCase{"CropOfZeroSize", {"--size", "96x64", "--crop", "10,10,0,0"}, 96, 64, 0, 0, 96, 64}),
    [](const ::testing::TestParamInfo<PictureCase>& param) { return param.param.name; });

}  // namespace
}  // namespace orvo::testing
