// The picture converter against converting every frame whole: pictures made
// a band at a time must match them byte for byte, wherever the frames differ.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "export/av_support.h"
#include "export/video_export.h"

namespace quimbel {
namespace {

using Bgra = std::vector<std::uint8_t>;
constexpr int kStride = kVideoWidth * 4;

// The first row where two pictures differ in their visible bytes, as
// "plane:row", or an empty string.
std::string firstDifference(const AVFrame* a, const AVFrame* b) {
  for (int plane = 0; plane < 3; ++plane) {
    const int width = plane == 0 ? kVideoWidth : kVideoWidth / 2;
    const int height = plane == 0 ? kVideoHeight : kVideoHeight / 2;
    for (int y = 0; y < height; ++y) {
      if (std::memcmp(a->data[plane] + y * a->linesize[plane],
                      b->data[plane] + y * b->linesize[plane], width) != 0)
        return std::to_string(plane) + ":" + std::to_string(y);
    }
  }
  return {};
}

av::Frame wholePicture(const Bgra& frame) {
  av::PictureConverter converter(kVideoWidth, kVideoHeight);
  av::Frame picture;
  EXPECT_EQ(converter.convert(frame.data(), kStride, nullptr, picture), "");
  return picture;
}

TEST(PictureConverterTest, BandsCoverEveryChangedRowWithTheFiltersReachOnEvenRows) {
  std::vector<bool> changed(100, false);
  changed[0] = changed[3] = changed[50] = changed[99] = true;
  const int r = av::PictureConverter::kFilterReach;
  using Bands = std::vector<std::pair<int, int>>;
  EXPECT_EQ(av::PictureConverter::bands(changed, 100), (Bands{{0, 100}}));
  std::vector<bool> far(1000, false);
  far[100] = far[501] = far[999] = true;
  EXPECT_EQ(av::PictureConverter::bands(far, 1000),
            (Bands{{100 - r, 102 + r}, {(501 - r) & ~1, 502 + r}, {(999 - r) & ~1, 1000}}));
  EXPECT_TRUE(av::PictureConverter::bands(std::vector<bool>(10, false), 10).empty());
}

TEST(PictureConverterTest, PicturesConvertedByChangedBandsEqualWholeConversions) {
  std::mt19937 random(7);
  Bgra frame(static_cast<std::size_t>(kStride) * kVideoHeight);
  for (auto& byte : frame) byte = static_cast<std::uint8_t>(random());
  for (std::size_t p = 3; p < frame.size(); p += 4) frame[p] = 255;  // opaque

  av::PictureConverter converter(kVideoWidth, kVideoHeight);
  ASSERT_EQ(converter.error(), "");
  av::Frame picture;
  ASSERT_EQ(converter.convert(frame.data(), kStride, nullptr, picture), "");

  // Rows changed at the edges, on odd and even rows, one alone and in runs.
  const std::vector<std::vector<int>> changes = {
      {0},
      {1},
      {kVideoHeight - 1},
      {kVideoHeight - 2},
      {37},
      {960, 961, 962},
      {500, 1400},
      {},
      {100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111}};
  for (const std::vector<int>& rows : changes) {
    Bgra before = frame;
    for (int row : rows) {
      for (int x = 0; x < kVideoWidth; x += 3) {
        frame[static_cast<std::size_t>(row) * kStride + x * 4 + 1] =
            static_cast<std::uint8_t>(random());
      }
    }
    av::Frame next;
    ASSERT_EQ(converter.convert(frame.data(), kStride, before.data(), next), "");
    const av::Frame whole = wholePicture(frame);
    EXPECT_EQ(firstDifference(next.get(), whole.get()), "")
        << "rows changed: " << testing::PrintToString(rows);
  }
}

}  // namespace
}  // namespace quimbel
