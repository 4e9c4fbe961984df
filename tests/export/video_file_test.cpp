// Renders two short takes to MP4 once and reads them back with FFmpeg's own
// demuxer and decoders (and with the ffprobe program where it is installed).

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "export/gui_app.h"
#include "export/video_export.h"
#include "export/written.h"
#include "music/chords.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace quimbel {
namespace {

namespace fs = std::filesystem;

ChordHit hit(int pad, double t, double hold, std::vector<int> notes, const char* name,
             bool seventh = false) {
  ChordHit h;
  h.pad = pad;
  h.t = t;
  h.hold = hold;
  h.seventh = seventh;
  h.voicing.notes = notes;
  h.voicing.offsets.assign(notes.size(), 0.0);
  h.shown = {notes, name, Chords::padColor(pad)};
  return h;
}

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

// Left and right samples of the first audio stream.
std::array<std::vector<float>, 2> decodeSound(const fs::path& file) {
  std::array<std::vector<float>, 2> out;
  InputPtr input = openInput(file);
  if (!input) return out;
  const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (index < 0) return out;
  const AVCodecParameters* par = input->streams[index]->codecpar;
  AVCodecContext* codec = avcodec_alloc_context3(avcodec_find_decoder(par->codec_id));
  avcodec_parameters_to_context(codec, par);
  avcodec_open2(codec, avcodec_find_decoder(par->codec_id), nullptr);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&] {
    while (avcodec_receive_frame(codec, frame) >= 0) {
      if (frame->format != AV_SAMPLE_FMT_FLTP) continue;
      for (int c = 0; c < 2 && c < frame->ch_layout.nb_channels; ++c) {
        const auto* s = reinterpret_cast<const float*>(frame->extended_data[c]);
        out[c].insert(out[c].end(), s, s + frame->nb_samples);
      }
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
  avcodec_free_context(&codec);
  return out;
}

std::uint32_t pixel(const std::vector<std::uint8_t>& bgra, double x, double y) {
  const std::size_t i =
      (static_cast<std::size_t>(y) * kVideoWidth + static_cast<std::size_t>(x)) * 4;
  return static_cast<std::uint32_t>(bgra[i + 2]) << 16 |
         static_cast<std::uint32_t>(bgra[i + 1]) << 8 | bgra[i];
}

int channelDistance(std::uint32_t a, std::uint32_t b) {
  int worst = 0;
  for (int shift = 0; shift <= 16; shift += 8) {
    worst = std::max(worst, std::abs(static_cast<int>((a >> shift) & 0xFF) -
                                     static_cast<int>((b >> shift) & 0xFF)));
  }
  return worst;
}

class VideoFileTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ensureGuiApplication();
    // One pass of 1 s: pad 0 held with sevenths, then pad 4 tapped; 3.8 s
    // of video in all.
    take_.events = {hit(0, 0.0, 0.5, {49, 52, 56, 59}, "C#m7", true),
                    hit(4, 0.6, 0.2, {44, 48, 51}, "G#")};
    take_.taken = 1.0;
    take_.key = {1, Chords::Mode::minor};
    take_.knob = -3;
    take_.volume = 0.64f;
    folder_ = makeTakeFolder();
    file_ = folder_ / kVideoFileName;
    written_ = new Written(take_.renderVideo(file_));

    VideoExport silent;
    silentFolder_ = makeTakeFolder();
    silentWritten_ = new Written(silent.renderVideo(silentFolder_ / kVideoFileName));
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    fs::remove_all(silentFolder_, ignored);
    delete written_;
    delete silentWritten_;
  }
  void SetUp() override {
    ASSERT_TRUE(*written_) << written_->error;
    ASSERT_TRUE(*silentWritten_) << silentWritten_->error;
  }

  static inline VideoExport take_;
  static inline fs::path folder_;
  static inline fs::path file_;
  static inline Written* written_ = nullptr;
  static inline fs::path silentFolder_;
  static inline Written* silentWritten_ = nullptr;
};

TEST_F(VideoFileTest, HoldsOneHighProfileVideoAndOneStereoAacStreamOfEqualLength) {
  ASSERT_EQ(take_.frameCount(), 114);
  InputPtr input = openInput(file_);
  ASSERT_TRUE(input);
  ASSERT_EQ(input->nb_streams, 2u);
  const AVStream* video = nullptr;
  const AVStream* audio = nullptr;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* s = input->streams[i];
    (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? video : audio) = s;
  }
  ASSERT_NE(video, nullptr);
  ASSERT_NE(audio, nullptr);

  const AVCodecParameters* v = video->codecpar;
  EXPECT_EQ(v->codec_id, AV_CODEC_ID_H264);
  EXPECT_EQ(v->profile, FF_PROFILE_H264_HIGH);
  EXPECT_EQ(v->width, 1080);
  EXPECT_EQ(v->height, 1920);
  EXPECT_EQ(v->format, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(av_q2d(video->avg_frame_rate), 30.0);
  EXPECT_EQ(v->color_primaries, AVCOL_PRI_BT709);
  EXPECT_EQ(v->color_trc, AVCOL_TRC_BT709);
  EXPECT_EQ(v->color_space, AVCOL_SPC_BT709);
  EXPECT_EQ(v->color_range, AVCOL_RANGE_MPEG);
  EXPECT_EQ(video->nb_frames, 114);

  const AVCodecParameters* a = audio->codecpar;
  EXPECT_EQ(a->codec_id, AV_CODEC_ID_AAC);
  EXPECT_EQ(a->sample_rate, 48000);
  EXPECT_EQ(a->ch_layout.nb_channels, 2);

  const double videoSeconds = video->duration * av_q2d(video->time_base);
  const double audioSeconds = audio->duration * av_q2d(audio->time_base);
  EXPECT_NEAR(videoSeconds, 114.0 / 30.0, 1e-6);
  EXPECT_NEAR(audioSeconds, videoSeconds, 1.0 / 30.0);
  EXPECT_NEAR(input->duration / static_cast<double>(AV_TIME_BASE), videoSeconds, 1.0 / 30.0);

  EXPECT_EQ(decodeVideo(file_, {}).count, 114);
}

TEST_F(VideoFileTest, IndexLeadsTheFileAndIntermediatesAreGone) {
  std::ifstream in(file_, std::ios::binary);
  std::vector<std::string> boxes;
  std::array<unsigned char, 8> head{};
  std::uint64_t offset = 0;
  const std::uint64_t size = fs::file_size(file_);
  while (offset + 8 <= size && in.seekg(static_cast<std::streamoff>(offset)) &&
         in.read(reinterpret_cast<char*>(head.data()), 8)) {
    const std::uint64_t length =
        static_cast<std::uint64_t>(head[0]) << 24 | head[1] << 16 | head[2] << 8 | head[3];
    boxes.emplace_back(reinterpret_cast<const char*>(head.data()) + 4, 4);
    if (length < 8) break;
    offset += length;
  }
  const auto moov = std::find(boxes.begin(), boxes.end(), "moov");
  const auto mdat = std::find(boxes.begin(), boxes.end(), "mdat");
  ASSERT_NE(moov, boxes.end());
  ASSERT_NE(mdat, boxes.end());
  EXPECT_LT(moov, mdat);

  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{kVideoFileName});
}

TEST_F(VideoFileTest, FfprobeReadsTheSameStreams) {
  FILE* pipe = popen(
      ("ffprobe -v error -show_streams -of json '" + file_.string() + "' 2>/dev/null").c_str(),
      "r");
  ASSERT_NE(pipe, nullptr);
  std::string text;
  std::array<char, 4096> chunk{};
  while (std::size_t n = fread(chunk.data(), 1, chunk.size(), pipe)) text.append(chunk.data(), n);
  const int status = pclose(pipe);
  if (text.empty() || status != 0) GTEST_SKIP() << "ffprobe is not installed";

  const nlohmann::json probe = nlohmann::json::parse(text);
  ASSERT_EQ(probe.at("streams").size(), 2u);
  for (const nlohmann::json& s : probe.at("streams")) {
    if (s.at("codec_type") == "video") {
      EXPECT_EQ(s.at("codec_name"), "h264");
      EXPECT_EQ(s.at("profile"), "High");
      EXPECT_EQ(s.at("width"), 1080);
      EXPECT_EQ(s.at("height"), 1920);
      EXPECT_EQ(s.at("pix_fmt"), "yuv420p");
      EXPECT_EQ(s.at("r_frame_rate"), "30/1");
      EXPECT_EQ(s.at("avg_frame_rate"), "30/1");
      EXPECT_EQ(s.at("color_range"), "tv");
      EXPECT_EQ(s.at("color_space"), "bt709");
      EXPECT_EQ(s.at("color_transfer"), "bt709");
      EXPECT_EQ(s.at("color_primaries"), "bt709");
      EXPECT_EQ(s.at("nb_frames"), "114");
    } else {
      EXPECT_EQ(s.at("codec_type"), "audio");
      EXPECT_EQ(s.at("codec_name"), "aac");
      EXPECT_EQ(s.at("sample_rate"), "48000");
      EXPECT_EQ(s.at("channels"), 2);
    }
  }
}

TEST_F(VideoFileTest, DecodedScreenCellsMatchTheComposedScreen) {
  // Frames 9 (pad 0 held), 25 (pad 4 fading) and 45 (pad 0 held again in
  // the second pass).
  const std::set<int> wanted{9, 25, 45};
  const DecodedVideo decoded = decodeVideo(file_, wanted);
  ASSERT_EQ(decoded.frames.size(), wanted.size());
  for (const auto& [index, bgra] : decoded.frames) {
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
  const DecodedVideo decoded = decodeVideo(file_, {9});
  ASSERT_EQ(decoded.frames.count(9), 1u);
  const std::vector<std::uint8_t>& bgra = decoded.frames.at(9);
  ASSERT_TRUE(take_.frameState(0.3).pressed[0]);
  // Pad 0 at (144.8, 975.6), pressed; pad 1 beside it, at rest. The fill is
  // sampled right of the labels, the edges in the band a press leaves.
  EXPECT_LE(channelDistance(fromVideoColor(pixel(bgra, 360, 1100)), 0xFF612B), 8);
  EXPECT_LE(channelDistance(fromVideoColor(pixel(bgra, 146, 1100)), 0x0A0A0A), 12);
  EXPECT_LE(channelDistance(fromVideoColor(pixel(bgra, 630, 1100)), Chords::padColor(1)), 8);
  EXPECT_LE(channelDistance(fromVideoColor(pixel(bgra, 416.5, 1100)), Chords::padColor(1)), 12);
  // The sevenths pad lights while pad 0's seventh chord is held.
  EXPECT_LE(
      channelDistance(fromVideoColor(pixel(bgra, 144.8 + 270.4 + 200, 1516.4 + 125)), 0xEDEDED), 8);
}

TEST_F(VideoFileTest, SoundPlaysAndFadesOutAtTheEnd) {
  const auto [left, right] = decodeSound(file_);
  ASSERT_GT(left.size(), 48000u * 3);
  ASSERT_EQ(left.size(), right.size());
  float loud = 0.0f;
  for (std::size_t i = 0; i < 48000; ++i) loud = std::max(loud, std::abs(left[i]));
  EXPECT_GT(loud, 0.05f);
  float tail = 0.0f;
  for (std::size_t i = left.size() - 480; i < left.size(); ++i) {
    tail = std::max({tail, std::abs(left[i]), std::abs(right[i])});
  }
  EXPECT_LT(tail, loud * 0.02f);
}

TEST_F(VideoFileTest, EmptyTakeGives58FramesOfOutroOverSilence) {
  const fs::path file = silentFolder_ / kVideoFileName;
  EXPECT_EQ(decodeVideo(file, {}).count, 58);
  const auto [left, right] = decodeSound(file);
  ASSERT_GT(left.size(), 48000u);
  float peak = 0.0f;
  for (float s : left) peak = std::max(peak, std::abs(s));
  EXPECT_LT(peak, 1e-4f);
}

TEST_F(VideoFileTest, MuxWithoutASoundTrackFailsAndLeavesTheDestinationAlone) {
  const fs::path folder = makeTakeFolder();
  const fs::path destination = folder / "kept.mp4";
  std::ofstream(destination) << "earlier file";
  const fs::path videoOnly = folder / "video-only.mp4";
  ASSERT_TRUE(VideoExport{}.writeFrames(videoOnly));

  const Written w = VideoExport::mux(videoOnly, videoOnly, destination);
  EXPECT_FALSE(w);
  EXPECT_FALSE(w.error.empty());
  std::ifstream in(destination);
  std::string kept;
  std::getline(in, kept);
  EXPECT_EQ(kept, "earlier file");
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++files;
  EXPECT_EQ(files, 2u);  // no partial file beside it
  fs::remove_all(folder);
}

TEST_F(VideoFileTest, UnwritableFolderFailsWithFfmpegsMessage) {
  const fs::path nowhere = folder_ / "missing" / "deeper" / kVideoFileName;
  const Written w = take_.renderVideo(nowhere);
  EXPECT_FALSE(w);
  EXPECT_NE(w.error.find("No such file or directory"), std::string::npos) << w.error;
  EXPECT_FALSE(fs::exists(nowhere.parent_path()));
}

}  // namespace
}  // namespace quimbel
