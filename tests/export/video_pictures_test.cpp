// The picture converter against converting every frame whole: pictures made
// a band of rows at a time must match them byte for byte, wherever the
// frames differ.

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
using Bands = std::vector<av::RowBand>;
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

TEST(PictureConverterTest, ChangedRowsBecomeMergedEvenBandsWithTheFiltersReach) {
  const int r = av::PictureConverter::kFilterReach;
  // Frames one pixel wide, 1000 rows high; one byte changed per listed row.
  const struct {
    std::vector<int> rows;
    Bands bands;
  } cases[] = {
      {{}, {}},
      {{0}, {{0, r + 2}}},
      {{500}, {{500 - r, 502 + r}}},
      {{501}, {{(501 - r) & ~1, 502 + r}}},
      {{999}, {{(999 - r) & ~1, 1000}}},
      {{100, 100 + 2 * r}, {{100 - r, 102 + 3 * r}}},
      {{100, 400}, {{100 - r, 102 + r}, {400 - r, 402 + r}}},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> before(4 * 1000, 7);
    std::vector<std::uint8_t> after = before;
    for (int row : c.rows) after[static_cast<std::size_t>(row) * 4 + 2] = 9;
    EXPECT_EQ(av::PictureConverter::changedBands(after.data(), before.data(), 4, 1, 1000), c.bands)
        << testing::PrintToString(c.rows);
  }
}

TEST(PictureConverterTest, PicturesConvertedByChangedBandsEqualWholeConversions) {
  std::mt19937 random(7);
  Bgra frame(static_cast<std::size_t>(kStride) * kVideoHeight);
  for (auto& byte : frame) byte = static_cast<std::uint8_t>(random());
  for (std::size_t p = 3; p < frame.size(); p += 4) frame[p] = 255;  // opaque

  av::PictureConverter converter(kVideoWidth, kVideoHeight);
  ASSERT_EQ(converter.error(), "");
  ASSERT_EQ(converter.convert(frame.data(), kStride, {}), "");

  // Rows changed at the edges, on odd and even rows, one alone and in runs.
  // clang-format off
  const std::vector<std::vector<int>> changes = {
      {0}, {1}, {kVideoHeight - 1}, {37}, {960, 961}, {kVideoHeight - 2}, {500, 1400},
      {100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111}};
  // clang-format on
  for (const std::vector<int>& rows : changes) {
    const Bgra before = frame;
    for (int row : rows) {
      for (int x = 0; x < kVideoWidth; x += 3) {
        frame[static_cast<std::size_t>(row) * kStride + x * 4 + 1] =
            static_cast<std::uint8_t>(random());
      }
    }
    const Bands bands = av::PictureConverter::changedBands(frame.data(), before.data(), kStride,
                                                           kVideoWidth, kVideoHeight);
    ASSERT_EQ(converter.convert(frame.data(), kStride, bands), "");
    av::PictureConverter whole(kVideoWidth, kVideoHeight);
    ASSERT_EQ(whole.convert(frame.data(), kStride, {}), "");
    EXPECT_EQ(firstDifference(converter.picture(), whole.picture()), "")
        << "rows changed: " << testing::PrintToString(rows);
  }
}

}  // namespace
}  // namespace quimbel
