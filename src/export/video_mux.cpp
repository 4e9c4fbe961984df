// Muxing: the encoded video and sound copied, packet for packet, into one
// MPEG-4 file whose index leads the file, written aside and moved into place.

#include <system_error>

#include "base/random_id.h"
#include "export/av_support.h"
#include "export/video_export.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace quimbel {
namespace {

// The message for an intermediate file that holds no usable track.
constexpr const char* kCorruptFile = "the recorded video or sound is unreadable";

struct Source {
  av::Input input;
  int index = -1;           // the chosen stream in the input
  AVStream* out = nullptr;  // its copy in the output
};

std::string openSource(Source& source, const std::filesystem::path& file, AVMediaType type) {
  AVFormatContext* context = nullptr;
  int err = avformat_open_input(&context, file.c_str(), nullptr, nullptr);
  if (err < 0) return {};  // a missing track, reported by the caller
  source.input.reset(context);
  err = avformat_find_stream_info(context, nullptr);
  if (err < 0) return av::failure("cannot read " + file.filename().string(), err);
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    if (context->streams[i]->codecpar->codec_type == type) {
      source.index = static_cast<int>(i);
      break;
    }
  }
  return {};
}

std::string addStream(AVFormatContext* output, Source& source) {
  const AVStream* in = source.input->streams[source.index];
  source.out = avformat_new_stream(output, nullptr);
  if (source.out == nullptr) return "out of memory for the video";
  int err = avcodec_parameters_copy(source.out->codecpar, in->codecpar);
  if (err < 0) return av::failure("cannot copy a stream", err);
  source.out->codecpar->codec_tag = 0;
  source.out->time_base = in->time_base;
  source.out->avg_frame_rate = in->avg_frame_rate;
  source.out->r_frame_rate = in->r_frame_rate;
  return {};
}

// The next packet of the source's stream that starts before `end` (in
// AV_TIME_BASE units); false at the end.
bool nextPacket(Source& source, AVPacket* packet, std::int64_t end) {
  const AVStream* in = source.input->streams[source.index];
  while (av_read_frame(source.input.get(), packet) >= 0) {
    if (packet->stream_index == source.index) {
      const std::int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      if (start == AV_NOPTS_VALUE || av_compare_ts(start, in->time_base, end, AV_TIME_BASE_Q) < 0) {
        return true;
      }
    }
    av_packet_unref(packet);
  }
  return false;
}

std::string writePacket(AVFormatContext* output, Source& source, AVPacket* packet) {
  av_packet_rescale_ts(packet, source.input->streams[source.index]->time_base,
                       source.out->time_base);
  packet->stream_index = source.out->index;
  packet->pos = -1;
  const int err = av_interleaved_write_frame(output, packet);
  return err < 0 ? av::failure("cannot write the video", err) : std::string();
}

std::string copyStreams(const std::filesystem::path& file, Source& video, Source& sound,
                        std::int64_t duration) {
  av::Output output;
  if (std::string err = output.open("mp4", file); !err.empty()) return err;
  if (std::string err = addStream(output.get(), video); !err.empty()) return err;
  if (std::string err = addStream(output.get(), sound); !err.empty()) return err;

  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "+faststart", 0);
  int err = avformat_write_header(output.get(), &options);
  av_dict_free(&options);
  if (err < 0) return av::failure("cannot write the video", err);

  // A two-way merge by decoding time keeps the muxer's interleaving queue
  // short.
  av::Packet videoPacket(av_packet_alloc());
  av::Packet soundPacket(av_packet_alloc());
  if (!videoPacket || !soundPacket) return "out of memory for the video";
  bool haveVideo = nextPacket(video, videoPacket.get(), duration);
  bool haveSound = nextPacket(sound, soundPacket.get(), duration);
  while (haveVideo || haveSound) {
    bool takeVideo = haveVideo;
    if (haveVideo && haveSound && videoPacket->dts != AV_NOPTS_VALUE &&
        soundPacket->dts != AV_NOPTS_VALUE) {
      takeVideo =
          av_compare_ts(videoPacket->dts, video.input->streams[video.index]->time_base,
                        soundPacket->dts, sound.input->streams[sound.index]->time_base) <= 0;
    }
    if (takeVideo) {
      if (std::string e = writePacket(output.get(), video, videoPacket.get()); !e.empty()) return e;
      haveVideo = nextPacket(video, videoPacket.get(), duration);
    } else {
      if (std::string e = writePacket(output.get(), sound, soundPacket.get()); !e.empty()) return e;
      haveSound = nextPacket(sound, soundPacket.get(), duration);
    }
  }
  err = av_write_trailer(output.get());
  if (err < 0) return av::failure("cannot finish the video", err);
  output.close();
  return {};
}

}  // namespace

Written VideoExport::mux(const std::filesystem::path& videoUrl,
                         const std::filesystem::path& soundUrl,
                         const std::filesystem::path& outputUrl) {
  auto fail = [](std::string message) { return Written{std::nullopt, std::move(message)}; };
  av::quietLogging();
  Source video;
  Source sound;
  if (std::string e = openSource(video, videoUrl, AVMEDIA_TYPE_VIDEO); !e.empty()) return fail(e);
  if (std::string e = openSource(sound, soundUrl, AVMEDIA_TYPE_AUDIO); !e.empty()) return fail(e);
  if (video.index < 0 || sound.index < 0) return fail(kCorruptFile);

  // Both tracks are cut to the video track's length; an unknown length
  // leaves nothing, as an empty range would.
  const AVStream* videoStream = video.input->streams[video.index];
  std::int64_t duration = 0;
  if (videoStream->duration != AV_NOPTS_VALUE && videoStream->duration > 0) {
    duration = av_rescale_q(videoStream->duration, videoStream->time_base, AV_TIME_BASE_Q);
  } else if (video.input->duration != AV_NOPTS_VALUE && video.input->duration > 0) {
    duration = video.input->duration;
  }

  const std::filesystem::path name = outputUrl.filename();
  if (name.empty()) return fail(outputUrl.string() + ": not a file name");
  const std::filesystem::path aside =
      outputUrl.parent_path() / ("." + name.string() + "." + newUuid() + ".part");
  std::string error = copyStreams(aside, video, sound, duration);
  std::error_code ec;
  if (error.empty()) {
    std::filesystem::rename(aside, outputUrl, ec);
    if (ec) error = "cannot move the video into place: " + ec.message();
  }
  if (!error.empty()) {
    std::filesystem::remove(aside, ec);
    return fail(error);
  }
  return {outputUrl, {}};
}

}  // namespace quimbel
