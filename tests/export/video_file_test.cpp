// Renders a short take to MP4 once and reads them back with FFmpeg's own
// demuxer and decoders (and with the ffprobe program where it is installed).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "export/gui_app.h"
#include "export/video_export.h"
#include "export/written.h"
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

// Decoded pictures (as BGRA, converted back with the BT.709 matrix) of the
// wanted frame numbers, and the number of frames in the stream.
struct DecodedVideo {
  std::map<int, std::vector<std::uint8_t>> frames;
  int count = 0;
};

DecodedVideo decodeVideo(const fs::path& file, const std::set<int>& wanted) {
  DecodedVideo out;
  InputPtr input = openInput(file);
  if (!input) return out;
  const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
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
        std::vector<std::uint8_t> bgra(static_cast<std::size_t>(par->width) * par->height * 4 +
                                       4096);
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

std::uint32_t pixel(const std::vector<std::uint8_t>& bgra, double x, double y) {
  const std::size_t i =
      (static_cast<std::size_t>(y) * kVideoWidth + static_cast<std::size_t>(x)) * 4;
  return static_cast<std::uint32_t>(bgra[i + 2]) << 16 |
         static_cast<std::uint32_t>(bgra[i + 1]) << 8 | bgra[i];
}

// The largest difference of one colour channel.
int channelDistance(std::uint32_t a, std::uint32_t b) {
  int worst = 0;
  for (int shift : {0, 8, 16})
    worst = std::max(worst, std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)));
  return worst;
}

// "codec profile WxH pixels rate range space transfer primaries frames" of
// a video stream, "codec rate channels" of a sound stream, as libavformat
// reads them.
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

class VideoFileTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ensureGuiApplication();
    // One pass of 1 s: pad 0 held with sevenths, then pad 4 tapped; 3.8 s
    // of video, 114 frames, in all.
    for (const auto& [pad, t, hold, name] :
         {std::tuple{0, 0.0, 0.5, "C#m7"}, {4, 0.6, 0.2, "G#"}}) {
      ChordHit h;
      h.pad = pad;
      h.t = t;
      h.hold = hold;
      h.seventh = pad == 0;
      h.voicing =
          plainVoicing(pad == 0 ? std::vector<int>{49, 52, 56, 59} : std::vector<int>{44, 48, 51});
      h.shown = {h.voicing.notes, name, Chords::padColor(pad)};
      take_.events.push_back(h);
    }
    take_.taken = 1.0;
    take_.key = {1, Chords::Mode::minor};
    take_.knob = -3;
    take_.volume = 0.64f;
    folder_ = makeTakeFolder();
    file_ = folder_ / kVideoFileName;
    written_ = take_.renderVideo(file_);
    // Frames 9 (pad 0 held), 25 (pad 4 fading), 45 (pad 0 held again in
    // the second pass).
    if (written_) decoded_ = decodeVideo(file_, {9, 25, 45});
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  void SetUp() override { ASSERT_TRUE(written_) << written_.error; }

  static inline VideoExport take_;
  static inline fs::path folder_;
  static inline fs::path file_;
  static inline Written written_;
  static inline DecodedVideo decoded_;
};

TEST_F(VideoFileTest, HoldsOneHighProfileVideoAndOneStereoAacStreamOfEqualLength) {
  InputPtr input = openInput(file_);
  ASSERT_TRUE(input);
  ASSERT_EQ(input->nb_streams, 2u);
  const AVStream* video = input->streams[0];
  const AVStream* audio = input->streams[1];
  EXPECT_EQ(describe(video), "h264 High 1080x1920 yuv420p 30/1 tv bt709 bt709 bt709 114");
  EXPECT_EQ(describe(audio), "aac 48000 2");
  EXPECT_EQ(decoded_.count, 114);

  const double videoSeconds = video->duration * av_q2d(video->time_base);
  EXPECT_NEAR(videoSeconds, 114.0 / 30.0, 1e-6);
  EXPECT_NEAR(audio->duration * av_q2d(audio->time_base), videoSeconds, 1.0 / 30.0);
  EXPECT_NEAR(input->duration / static_cast<double>(AV_TIME_BASE), videoSeconds, 1.0 / 30.0);

  // The index leads the file, and only the video is left in its folder.
  std::ifstream in(file_, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder_)) left.push_back(entry.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{kVideoFileName});
}

TEST_F(VideoFileTest, FfprobeReadsTheSameStreams) {
  const std::string command =
      "ffprobe -v error -show_entries stream=codec_name,profile,width,"
      "height,r_frame_rate,color_range,color_space,nb_frames,sample_rate,"
      "channels -of csv=p=0 '" +
      file_.string() + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string text;
  std::array<char, 4096> chunk{};
  while (std::size_t n = fread(chunk.data(), 1, chunk.size(), pipe)) text.append(chunk.data(), n);
  if (pclose(pipe) != 0 || text.empty()) GTEST_SKIP() << "ffprobe is not installed";
  // The sound's packet count depends on the encoder's priming; the rest is fixed.
  EXPECT_THAT(text, ::testing::StartsWith("h264,High,1080,1920,tv,bt709,30/1,114\n"
                                          "aac,LC,48000,2,0/0,"));
}

TEST_F(VideoFileTest, DecodedScreenCellsMatchTheComposedScreen) {
  ASSERT_EQ(decoded_.frames.size(), 3u);
  for (const auto& [index, bgra] : decoded_.frames) {
    const VideoExport::Frame state = take_.frameState(index / 30.0);
    int worst = 0;
    for (int n = 0; n < ChordScreen::kCellCount; ++n) {
      const double x = 144.8 + (n % 32) * 24.78125 + 11.09;
      const double y = 154.0 + (n / 32) * 24.78125 + 11.09;
      const std::uint32_t expected = state.cells[n].value_or(ChordScreen::kBackground);
      worst = std::max(worst, channelDistance(fromVideoColor(pixel(bgra, x, y)), expected));
    }
    EXPECT_LE(worst, 10) << "frame " << index;
  }
}

TEST_F(VideoFileTest, DecodedPressedPadIsInsetAndBrightened) {
  const std::vector<std::uint8_t>& bgra = decoded_.frames.at(9);
  // Pad 0 at (144.8, 975.6), pressed; pad 1 beside it, at rest. The fill is
  // sampled right of the labels, the edges in the band a press leaves.
  EXPECT_LE(channelDistance(fromVideoColor(pixel(bgra, 360, 1100)), 0xFF612B), 8);
  EXPECT_LE(channelDistance(fromVideoColor(pixel(bgra, 146, 1100)), 0x0A0A0A), 12);
  EXPECT_LE(channelDistance(fromVideoColor(pixel(bgra, 630, 1100)), Chords::padColor(1)), 8);
  EXPECT_LE(channelDistance(fromVideoColor(pixel(bgra, 416.5, 1100)), Chords::padColor(1)), 12);
  // The sevenths pad lights while pad 0's seventh chord is held.
  EXPECT_LE(channelDistance(fromVideoColor(pixel(bgra, 615, 1641)), 0xEDEDED), 8);
}

TEST_F(VideoFileTest, FailuresLeaveNoFileAtTheDestination) {
  const fs::path folder = makeTakeFolder();
  const fs::path destination = folder / "kept.mp4";
  std::ofstream(destination) << "earlier file";
  const fs::path videoOnly = folder / "video-only.mp4";
  ASSERT_TRUE(VideoExport{}.writeFrames(videoOnly));
  // A "sound" file without sound: the mux refuses it.
  EXPECT_FALSE(VideoExport::mux(videoOnly, videoOnly, destination));
  std::ifstream in(destination);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
            "earlier file");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
  fs::remove_all(folder);

  const fs::path nowhere = folder_ / "missing" / kVideoFileName;
  const Written w = take_.renderVideo(nowhere);
  EXPECT_NE(w.error.find("No such file or directory"), std::string::npos) << w.error;
  EXPECT_FALSE(fs::exists(nowhere.parent_path()));
}

}  // namespace
}  // namespace quimbel
