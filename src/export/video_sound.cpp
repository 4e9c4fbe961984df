// The video's sound: the take played twice through the offline renderer,
// faded out over the last second, encoded as AAC.

#include <algorithm>

#include "audio/offline_render.h"
#include "export/av_support.h"
#include "export/video_export.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace quimbel {
namespace {

constexpr std::int64_t kSoundBitRate = 192'000;

}  // namespace

Written VideoExport::writeSound(const std::filesystem::path& url) const {
  auto fail = [](std::string message) { return Written{std::nullopt, std::move(message)}; };
  av::quietLogging();

  const std::vector<ChordHit> doubled = doubledEvents();
  StereoBuffer sound = renderOffline(doubled, totalLength(), volume, kVideoSoundRate);
  const std::size_t n = std::min(sound.left.size(), sound.right.size());
  const std::size_t fadeStart = n > kVideoSoundRate ? n - kVideoSoundRate : 0;
  for (std::size_t j = fadeStart; j < n; ++j) {
    const float gain = static_cast<float>(n - j) / static_cast<float>(kVideoSoundRate);
    sound.left[j] *= gain;
    sound.right[j] *= gain;
  }

  av::Output output;
  if (std::string err = output.open("ipod", url); !err.empty()) return fail(err);
  AVFormatContext* format = output.get();

  const AVCodec* aac = avcodec_find_encoder_by_name("aac");
  if (aac == nullptr) return fail("this FFmpeg has no AAC encoder");
  AVStream* stream = avformat_new_stream(format, nullptr);
  av::CodecContext codec(avcodec_alloc_context3(aac));
  if (stream == nullptr || !codec) return fail("out of memory for the sound encoder");
  codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
  codec->sample_rate = kVideoSoundRate;
  av_channel_layout_default(&codec->ch_layout, 2);
  codec->bit_rate = kSoundBitRate;
  codec->time_base = AVRational{1, kVideoSoundRate};
  if ((format->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
    codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  int err = avcodec_open2(codec.get(), aac, nullptr);
  if (err < 0) return fail(av::failure("cannot start the sound encoder", err));
  err = avcodec_parameters_from_context(stream->codecpar, codec.get());
  if (err < 0) return fail(av::failure("cannot set up the sound stream", err));
  stream->time_base = codec->time_base;
  err = avformat_write_header(format, nullptr);
  if (err < 0) return fail(av::failure("cannot write the sound", err));

  av::Frame frame(av_frame_alloc());
  av::Packet packet(av_packet_alloc());
  if (!frame || !packet) return fail("out of memory for the sound");
  // The encoder takes fixed blocks; only the last may be shorter, when the
  // encoder allows it, otherwise it is padded with silence.
  const std::size_t block =
      codec->frame_size > 0 ? static_cast<std::size_t>(codec->frame_size) : 1024;
  const bool shortLast = (aac->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0 ||
                         (aac->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) != 0;
  for (std::size_t start = 0; start < n; start += block) {
    const std::size_t count = std::min(block, n - start);
    av_frame_unref(frame.get());
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = kVideoSoundRate;
    frame->nb_samples = static_cast<int>(shortLast ? count : block);
    err = av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout);
    if (err >= 0) err = av_frame_get_buffer(frame.get(), 0);
    if (err < 0) return fail(av::failure("out of memory for the sound", err));
    auto* left = reinterpret_cast<float*>(frame->extended_data[0]);
    auto* right = reinterpret_cast<float*>(frame->extended_data[1]);
    std::fill(left, left + frame->nb_samples, 0.0f);
    std::fill(right, right + frame->nb_samples, 0.0f);
    std::copy_n(sound.left.begin() + static_cast<std::ptrdiff_t>(start), count, left);
    std::copy_n(sound.right.begin() + static_cast<std::ptrdiff_t>(start), count, right);
    frame->pts = static_cast<std::int64_t>(start);
    if (std::string e =
            av::encodeAndWrite("sound", codec.get(), format, stream, frame.get(), packet.get());
        !e.empty()) {
      return fail(e);
    }
  }
  if (std::string e =
          av::encodeAndWrite("sound", codec.get(), format, stream, nullptr, packet.get());
      !e.empty()) {
    return fail(e);
  }
  err = av_write_trailer(format);
  if (err < 0) return fail(av::failure("cannot finish the sound", err));
  output.close();
  return {url, {}};
}

}  // namespace quimbel
