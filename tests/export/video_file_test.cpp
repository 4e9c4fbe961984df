// Renders a short take to MP4 once and reads it back with FFmpeg's own
// demuxer and decoder (and with the ffprobe program where it is installed).
// One test checks the file every way, since rendering is the costly part.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "export/scratch.h"
#include "export/video_export.h"
#include "export/video_frames.h"
#include "music/chords.h"
#include "music/voicing.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace quimbel {
namespace {

namespace fs = std::filesystem;

struct InputDeleter {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputDeleter>;

InputPtr openInput(const fs::path& file) {
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, file.c_str(), nullptr, nullptr) < 0) return nullptr;
  InputPtr input(context);
  if (avformat_find_stream_info(context, nullptr) < 0) return nullptr;
  return input;
}

// A decoded picture converted back to BGRA with the BT.709 matrix.
using Picture = std::vector<std::uint8_t>;

// The wanted frames by number, and the number of frames in the stream.
struct DecodedVideo {
  std::map<int, Picture> frames;
  int count = 0;
};

DecodedVideo decodeVideo(const fs::path& file, const std::set<int>& wanted) {
  DecodedVideo out;
  InputPtr input = openInput(file);
  const int index =
      input ? av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0) : -1;
  if (index < 0) return out;
  const AVCodecParameters* par = input->streams[index]->codecpar;
  AVCodecContext* codec = avcodec_alloc_context3(avcodec_find_decoder(par->codec_id));
  avcodec_parameters_to_context(codec, par);
  avcodec_open2(codec, avcodec_find_decoder(par->codec_id), nullptr);
  SwsContext* sws =
      sws_getContext(par->width, par->height, AV_PIX_FMT_YUV420P, par->width, par->height,
                     AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr);
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(sws, bt709, 0, bt709, 1, 0, 1 << 16, 1 << 16);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&] {
    while (avcodec_receive_frame(codec, frame) >= 0) {
      if (wanted.count(out.count) != 0) {
        // swscale may write a little past the last row.
        Picture bgra(static_cast<std::size_t>(par->width) * par->height * 4 + 4096);
        std::uint8_t* dst[1] = {bgra.data()};
        const int stride[1] = {par->width * 4};
        sws_scale(sws, frame->data, frame->linesize, 0, par->height, dst, stride);
        out.frames[out.count] = std::move(bgra);
      }
      ++out.count;
    }
  };
  while (av_read_frame(input.get(), packet) >= 0) {
    if (packet->stream_index == index) {
      avcodec_send_packet(codec, packet);
      drain();
    }
    av_packet_unref(packet);
  }
  avcodec_send_packet(codec, nullptr);
  drain();
  av_frame_free(&frame);
  av_packet_free(&packet);
  sws_freeContext(sws);
  avcodec_free_context(&codec);
  return out;
}

// The sRGB colour drawn at a point of the picture.
std::uint32_t colorAt(const Picture& bgra, double x, double y) {
  const std::size_t i =
      (static_cast<std::size_t>(y) * kVideoWidth + static_cast<std::size_t>(x)) * 4;
  return fromVideoColor(static_cast<std::uint32_t>(bgra[i + 2]) << 16 |
                        static_cast<std::uint32_t>(bgra[i + 1]) << 8 | bgra[i]);
}

// The largest difference of one colour channel.
int distance(std::uint32_t a, std::uint32_t b) {
  int worst = 0;
  for (int shift : {0, 8, 16})
    worst = std::max(worst, std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)));
  return worst;
}

// Pixels in a box close to `color` (or, with `near` false, far from it), and
// the leftmost and rightmost such columns.
struct Ink {
  int count = 0, left = 1 << 20, right = -1;
};
Ink ink(const Picture& bgra, int x0, int y0, int width, int height, std::uint32_t color,
        bool near = true) {
  Ink found;
  for (int y = y0; y < y0 + height; ++y) {
    for (int x = x0; x < x0 + width; ++x) {
      if ((distance(colorAt(bgra, x, y), color) <= 40) == near) {
        ++found.count;
        found.left = std::min(found.left, x);
        found.right = std::max(found.right, x);
      }
    }
  }
  return found;
}

// "codec profile WxH pixels rate range space transfer primaries frames" of
// a video stream, "codec rate channels" of a sound stream.
std::string describe(const AVStream* s) {
  const AVCodecParameters* p = s->codecpar;
  if (p->codec_type == AVMEDIA_TYPE_AUDIO) {
    return std::string(avcodec_get_name(p->codec_id)) + " " + std::to_string(p->sample_rate) + " " +
           std::to_string(p->ch_layout.nb_channels);
  }
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
  char name[] = "quimbel-test";
  char* argv[] = {name, nullptr};
  QGuiApplication app(argc, argv);
  ScratchDir scratch;

  // One pass of 1 s: pad 0 held with sevenths, then pad 4 tapped; 3.8 s of
  // video, 114 frames, in all.
  VideoExport take;
  for (const auto& [pad, t, hold, chord] : {std::tuple{0, 0.0, 0.5, "C#m7"}, {4, 0.6, 0.2, "G#"}}) {
    ChordHit h;
    h.pad = pad;
    h.t = t;
    h.hold = hold;
    h.seventh = pad == 0;
    h.voicing =
        plainVoicing(pad == 0 ? std::vector<int>{49, 52, 56, 59} : std::vector<int>{44, 48, 51});
    h.shown = {h.voicing.notes, chord, Chords::padColor(pad)};
    take.events.push_back(h);
  }
  take.taken = 1.0;
  take.key = {1, Chords::Mode::minor};
  take.knob = -3;
  take.volume = 0.64f;
  take.icon = loadVideoIcon();
  const fs::path folder = makeTakeFolder();
  const fs::path file = folder / kVideoFileName;
  const Written written = take.renderVideo(file);
  ASSERT_TRUE(written) << written.error;
  // Frames 9 (pad 0 held), 25 (pad 4 fading), 45 (pad 0 held again in the
  // second pass), 60 (the outro's first) and 113 (the last).
  const DecodedVideo decoded = decodeVideo(file, {9, 25, 45, 60, 113});
  ASSERT_EQ(decoded.frames.size(), 5u);

  {
    SCOPED_TRACE("the streams, as libavformat reads them");
    InputPtr input = openInput(file);
    ASSERT_TRUE(input);
    ASSERT_EQ(input->nb_streams, 2u);
    const AVStream* video = input->streams[0];
    const AVStream* audio = input->streams[1];
    EXPECT_EQ(describe(video), "h264 High 1080x1920 yuv420p 30/1 tv bt709 bt709 bt709 114");
    EXPECT_EQ(describe(audio), "aac 48000 2");
    EXPECT_EQ(decoded.count, 114);
    const double videoSeconds = video->duration * av_q2d(video->time_base);
    EXPECT_NEAR(videoSeconds, 114.0 / 30.0, 1e-6);
    EXPECT_NEAR(audio->duration * av_q2d(audio->time_base), videoSeconds, 1.0 / 30.0);
    EXPECT_NEAR(input->duration / static_cast<double>(AV_TIME_BASE), videoSeconds, 1.0 / 30.0);
    // The index leads the file.
    const std::string bytes = contents(file);
    EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));
  }
  if (const auto probe =
          runIfInstalled("ffprobe",
                         "-v error -show_entries stream=codec_name,profile,width,height,"
                         "r_frame_rate,color_range,color_space,nb_frames,sample_rate,channels "
                         "-of csv=p=0 '" +
                             file.string() + "'")) {
    SCOPED_TRACE("the streams, as ffprobe reads them");
    // The sound's packet count depends on the encoder's priming; the rest is fixed.
    EXPECT_THAT(*probe, ::testing::StartsWith("h264,High,1080,1920,tv,bt709,30/1,114\n"
                                              "aac,LC,48000,2,0/0,"));
  }
  for (int index : {9, 25, 45}) {
    SCOPED_TRACE("the screen cells of frame " + std::to_string(index));
    const VideoExport::Frame state = take.frameState(index / 30.0);
    int worst = 0;
    for (int n = 0; n < ChordScreen::kCellCount; ++n) {
      const double x = 144.8 + (n % 32) * 24.78125 + 11.09;
      const double y = 154.0 + (n / 32) * 24.78125 + 11.09;
      worst = std::max(worst, distance(colorAt(decoded.frames.at(index), x, y),
                                       state.cells[n].value_or(ChordScreen::kBackground)));
    }
    EXPECT_LE(worst, 10);
  }
  {
    SCOPED_TRACE("the pads and the knob");
    const Picture& held = decoded.frames.at(9);
    // Pad 0 at (144.8, 975.6), pressed; pad 1 beside it, at rest. The fill is
    // sampled right of the labels, the edges in the band a press leaves.
    EXPECT_LE(distance(colorAt(held, 360, 1100), 0xFF612B), 8);
    EXPECT_LE(distance(colorAt(held, 146, 1100), 0x0A0A0A), 12);
    EXPECT_LE(distance(colorAt(held, 630, 1100), Chords::padColor(1)), 8);
    EXPECT_LE(distance(colorAt(held, 416.5, 1100), Chords::padColor(1)), 12);
    // The sevenths pad lights while pad 0's seventh chord is held.
    EXPECT_LE(distance(colorAt(held, 615, 1641), 0xEDEDED), 8);
    // Knob -3 points left from its centre (810.4, 1641.2).
    const auto knob = ChordScreen::kKnobPalette[ChordScreen::knobPaletteIndex(-3)];
    EXPECT_LE(distance(colorAt(held, 750.4, 1641.2), knob.second), 12);
    EXPECT_LE(distance(colorAt(held, 870.4, 1641.2), knob.first), 12);
    // Pad 1's label sits top left; its degree reads "II7" while a seventh is
    // held, "II" in frame 25.
    const std::uint32_t type = Chords::padLabelColor(1);
    EXPECT_GT(ink(held, 416, 976, 124, 134, type).count, 300);
    EXPECT_EQ(ink(held, 546, 976, 118, 150, type).count, 0);
    const int seventh = ink(held, 441, 1159, 220, 45, type).count;
    EXPECT_GT(seventh, ink(decoded.frames.at(25), 441, 1159, 220, 45, type).count * 5 / 4);
  }
  {
    SCOPED_TRACE("the outro");
    EXPECT_EQ(ink(decoded.frames.at(60), 0, 600, 1080, 560, 0x0A0A0A, false).count, 0);
    // The icon, the name and the address, each centred in its band.
    for (const auto& [top, height, least] :
         {std::tuple{600, 360, 10000}, {966, 110, 500}, {1082, 70, 200}}) {
      const Ink drawn = ink(decoded.frames.at(113), 0, top, 1080, height, 0x0A0A0A, false);
      EXPECT_GT(drawn.count, least) << top;
      EXPECT_NEAR(drawn.left + drawn.right, 1080, 8) << top;
    }
  }
  {
    SCOPED_TRACE("failures leave no file at the destination");
    // Unreadable inputs: an earlier file at the destination stays as it was.
    const fs::path kept = folder / "kept.mp4";
    std::ofstream(kept) << "earlier file";
    EXPECT_FALSE(VideoExport::mux(kept, kept, kept));
    EXPECT_EQ(contents(kept), "earlier file");
    // A folder in the way of the finished copy: it survives, the copy goes.
    const fs::path blocked = folder / "blocked";
    fs::create_directory(blocked);
    std::ofstream(blocked / "inside") << "keep";
    EXPECT_FALSE(VideoExport::mux(file, file, blocked));
    EXPECT_EQ(contents(blocked / "inside"), "keep");
    // No folder to write into: the error says why and creates nothing.
    const fs::path nowhere = folder / "missing" / kVideoFileName;
    const Written w = take.renderVideo(nowhere);
    EXPECT_NE(w.error.find("No such file or directory"), std::string::npos) << w.error;
    EXPECT_FALSE(fs::exists(nowhere.parent_path()));
    // Nothing was left aside, not even the render's own intermediate files.
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder)) left.insert(entry.path().filename());
    EXPECT_EQ(left, (std::set<std::string>{kVideoFileName, "blocked", "kept.mp4"}));
  }
}

}  // namespace
}  // namespace quimbel
