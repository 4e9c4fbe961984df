// Renders a short take to MP4 once and reads it back with FFmpeg's own
// demuxer and decoder.
// One test checks the file every way, since rendering is the costly part.

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <algorithm>
#include <map>
#include <set>

#include "export/video_export.h"
#include "export/video_frames.h"
#include "files/scratch.h"
#include "music/chords.h"
#include "music/voicing.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

namespace quimbel {
namespace {

namespace fs = std::filesystem;

using FramePtr = std::unique_ptr<AVFrame, void (*)(AVFrame*)>;

// The wanted frames by number, and the number of frames in the stream.
struct DecodedVideo {
  std::map<int, FramePtr> frames;
  int count = 0;
};

DecodedVideo decodeVideo(AVFormatContext* input, int index, const std::set<int>& wanted) {
  DecodedVideo out;
  const AVCodecParameters* par = input->streams[index]->codecpar;
  AVCodecContext* codec = avcodec_alloc_context3(avcodec_find_decoder(par->codec_id));
  avcodec_parameters_to_context(codec, par);
  avcodec_open2(codec, avcodec_find_decoder(par->codec_id), nullptr);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&] {
    for (; avcodec_receive_frame(codec, frame) >= 0; ++out.count) {
      if (wanted.count(out.count) == 0) continue;
      out.frames.emplace(out.count,
                         FramePtr(av_frame_clone(frame), [](AVFrame* f) { av_frame_free(&f); }));
    }
  };
  while (av_read_frame(input, packet) >= 0) {
    if (packet->stream_index == index && avcodec_send_packet(codec, packet) >= 0) drain();
    av_packet_unref(packet);
  }
  avcodec_send_packet(codec, nullptr);
  drain();
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&codec);
  return out;
}

// The sRGB colour at a point of a decoded picture, converted back from
// limited-range BT.709 4:2:0.
std::uint32_t colorAt(const FramePtr& f, double x, double y) {
  const int px = static_cast<int>(x), py = static_cast<int>(y);
  const double luma = 1.1644 * (f->data[0][py * f->linesize[0] + px] - 16);
  const double u = f->data[1][py / 2 * f->linesize[1] + px / 2] - 128.0;
  const double v = f->data[2][py / 2 * f->linesize[2] + px / 2] - 128.0;
  auto c = [](double c) { return static_cast<std::uint32_t>(std::clamp(c + 0.5, 0.0, 255.0)); };
  return fromVideoColor(c(luma + 1.7927 * v) << 16 | c(luma - 0.2132 * u - 0.5329 * v) << 8 |
                        c(luma + 2.1124 * u));
}

// The largest difference of one colour channel.
int distance(std::uint32_t a, std::uint32_t b) {
  int worst = 0;
  for (int shift : {0, 8, 16})
    worst = std::max(worst, std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)));
  return worst;
}

// Pixels of a band across the picture far from the background, and the
// leftmost and rightmost such columns.
struct Ink {
  int count = 0, left = 1 << 20, right = -1;
};
Ink ink(const FramePtr& picture, int y0, int height) {
  Ink found;
  for (int y = y0; y < y0 + height; ++y)
    for (int x = 0; x < 1080; ++x)
      if (distance(colorAt(picture, x, y), 0x0A0A0A) > 40)
        found = {found.count + 1, std::min(found.left, x), std::max(found.right, x)};
  return found;
}

// "codec profile WxH pixels rate range space transfer primaries frames" of
// the video stream.
std::string describe(const AVStream* s) {
  const AVCodecParameters* p = s->codecpar;
  return std::string(avcodec_get_name(p->codec_id)) + " " +
         avcodec_profile_name(p->codec_id, p->profile) + " " + std::to_string(p->width) + "x" +
         std::to_string(p->height) + " " +
         av_get_pix_fmt_name(static_cast<AVPixelFormat>(p->format)) + " " +
         std::to_string(s->avg_frame_rate.num) + "/" + std::to_string(s->avg_frame_rate.den) + " " +
         av_color_range_name(p->color_range) + " " + av_color_space_name(p->color_space) + " " +
         av_color_transfer_name(p->color_trc) + " " + av_color_primaries_name(p->color_primaries) +
         " " + std::to_string(s->nb_frames);
}

TEST(VideoFileTest, ARenderedTakeReadsBackWithItsStreamsScreenPadsAndOutro) {
  // Text drawing needs a QGuiApplication, here on the offscreen platform.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  int argc = 1;
  char* argv[] = {const_cast<char*>("quimbel-test"), nullptr};
  QGuiApplication app(argc, argv);
  ScratchDir scratch;

  // One pass of 1 s: pad 0 held with sevenths, then pad 4 tapped; 3.8 s of
  // video, 114 frames, in all.
  auto chord = [](int pad, double t, double hold, std::vector<int> notes, const char* label) {
    return ChordHit{.pad = pad,
                    .t = t,
                    .voicing = plainVoicing(notes),
                    .shown = {notes, label, Chords::padColor(pad)},
                    .hold = hold,
                    .seventh = pad == 0};
  };
  const VideoExport take{.events = {chord(0, 0.0, 0.5, {49, 52, 56, 59}, "C#m7"),
                                    chord(4, 0.6, 0.2, {44, 48, 51}, "G#")},
                         .taken = 1.0,
                         .key = {1, Chords::Mode::minor},
                         .icon = loadVideoIcon()};
  const fs::path folder = makeTakeFolder();
  const fs::path file = folder / kVideoFileName;
  const Written written = take.renderVideo(file);
  ASSERT_TRUE(written) << written.error;

  // The streams as libavformat reads them: the sound and the video of one
  // length, the index leading the file.
  AVFormatContext* opened = nullptr;
  ASSERT_GE(avformat_open_input(&opened, file.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(avformat_find_stream_info(opened, nullptr), 0);
  ASSERT_EQ(opened->nb_streams, 2u);
  const AVStream* video = opened->streams[0];
  const AVCodecParameters* sound = opened->streams[1]->codecpar;
  EXPECT_EQ(describe(video), "h264 High 1080x1920 yuv420p 30/1 tv bt709 bt709 bt709 114");
  EXPECT_STREQ(avcodec_get_name(sound->codec_id), "aac");
  EXPECT_EQ(std::pair(sound->sample_rate, sound->ch_layout.nb_channels), std::pair(48000, 2));
  auto seconds = [](const AVStream* s) { return s->duration * av_q2d(s->time_base); };
  EXPECT_NEAR(seconds(video), 114.0 / 30.0, 1e-6);
  EXPECT_NEAR(seconds(opened->streams[1]), seconds(video), 1.0 / 30.0);
  EXPECT_LT(contents(file).find("moov"), contents(file).find("mdat"));

  // Frames 9 (pad 0 held), 25 (pad 4 fading), 45 (pad 0 held again in the
  // second pass), 60 (the outro's first) and 113 (the last).
  const DecodedVideo decoded = decodeVideo(opened, 0, {9, 25, 45, 60, 113});
  avformat_close_input(&opened);
  EXPECT_EQ(decoded.count, 114);
  for (int index : {9, 25, 45}) {
    const VideoExport::Frame state = take.frameState(index / 30.0);
    int worst = 0;  // cell n's centre is sampled
    for (int n = 0; n < ChordScreen::kCellCount; ++n)
      worst =
          std::max(worst, distance(colorAt(decoded.frames.at(index), 155.89 + (n % 32) * 24.78125,
                                           165.09 + (n / 32) * 24.78125),
                                   state.cells[n].value_or(ChordScreen::kBackground)));
    EXPECT_LE(worst, 10) << "the screen cells of frame " << index;
  }

  // Pad 0 at (144.8, 975.6), pressed; the fill is sampled right of its label.
  EXPECT_LE(distance(colorAt(decoded.frames.at(9), 360, 1100), 0xFF612B), 8);

  // The outro fades in from nothing to the icon, the name and the address,
  // each centred in its band.
  EXPECT_EQ(ink(decoded.frames.at(60), 600, 560).count, 0);
  for (const auto& [top, height, least] :
       {std::tuple{600, 360, 10000}, {966, 110, 500}, {1082, 70, 200}}) {
    const Ink drawn = ink(decoded.frames.at(113), top, height);
    EXPECT_GT(drawn.count, least) << top;
    EXPECT_NEAR(drawn.left + drawn.right, 1080, 8) << top;
  }

  // No folder to write into: the render fails and creates nothing, and
  // nothing was left aside, not even the render's own intermediate files.
  const fs::path nowhere = folder / "missing" / kVideoFileName;
  EXPECT_FALSE(take.renderVideo(nowhere));
  EXPECT_FALSE(fs::exists(nowhere.parent_path()));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1);
}

}  // namespace
}  // namespace quimbel
