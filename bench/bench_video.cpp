// Video export figures for a 4-bar take at 120 bpm (8 s; 17.8 s of video):
// - the whole export (frames, sound, mux) in a child process of its own:
//   wall time, processor time of all its threads and peak resident memory,
//   with the piano already loaded as it is in the running program;
// - the reference: the very same frames, drawn beforehand into a raw BGRA
//   file, encoded by the ffmpeg command line with the same encoder settings,
//   measured in the same run, with its own peak resident memory;
// - both taken in turn over three rounds, the least time of each kept, so
//   that other work on a shared machine weighs on both alike (the peak
//   memory is the largest of the three);
// - Google Benchmark loops for one frame's state, drawing and conversion to
//   YUV (whole, and only the rows that changed);
// then "SUMMARY <name> <value> <unit>" lines for scripts/bench.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "audio/offline_render.h"
#include "export/av_support.h"
#include "export/video_export.h"
#include "export/video_frames.h"
#include "files/written.h"
#include "music/chords.h"
#include "music/voicing.h"

namespace {

using namespace quimbel;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuSeconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) * 1e-6;
}

// Four bars at 120 bpm: a chord every beat and a half or so, held a little
// under half a second, some with sevenths, as a played take would look.
VideoExport fourBarTake() {
  VideoExport take;
  take.key = {1, Chords::Mode::minor};
  take.knob = -3;
  take.volume = 0.64f;
  take.taken = 8.0;
  const int degrees[] = {0, 5, 2, 6, 3, 4, 0, 4};
  for (int i = 0; i < 8; ++i) {
    ChordHit hit;
    hit.pad = degrees[i];
    hit.t = i * 1.0;
    hit.hold = 0.45;
    hit.seventh = i % 3 == 2;
    const std::vector<int> notes = chordNotes(hit.pad, take.key, -1, hit.seventh, false, true);
    hit.voicing = plainVoicing(notes);
    hit.voicing.gain = 0.8f;
    hit.length = 1.0;
    hit.shown = {notes, Chords::chordName(hit.pad, take.key, notes), Chords::padColor(hit.pad)};
    take.events.push_back(hit);
  }
  return take;
}

struct ExportFigures {
  double wallSeconds = 0;
  double cpuSeconds = 0;
  double peakRssMb = 0;
  bool ok = false;
};

// The export in a child process, so that its processor time and peak memory
// are its own.
ExportFigures measureExport(const VideoExport& take, const fs::path& file) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return {};
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    close(pipeFds[0]);
    // Qt's worker threads do not survive a fork, so the child makes its own
    // application object; the parent makes its one only after forking.
    int argc = 1;
    char name[] = "bench_video";
    char* argv[] = {name, nullptr};
    QGuiApplication app(argc, argv);
    sampleLibrary();  // the running program holds the piano already
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const Clock::time_point start = Clock::now();
    VideoExport withIcon = take;
    withIcon.icon = loadVideoIcon();
    const Written written = withIcon.renderVideo(file);
    ExportFigures f;
    f.wallSeconds = secondsSince(start);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    f.cpuSeconds = cpuSeconds(after) - cpuSeconds(before);
    f.peakRssMb = static_cast<double>(after.ru_maxrss) / 1024.0;
    f.ok = static_cast<bool>(written);
    if (!written) std::fprintf(stderr, "export failed: %s\n", written.error.c_str());
    [[maybe_unused]] const ssize_t n = write(pipeFds[1], &f, sizeof f);
    _exit(0);
  }
  close(pipeFds[1]);
  ExportFigures f;
  if (read(pipeFds[0], &f, sizeof f) != static_cast<ssize_t>(sizeof f)) f = {};
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return f;
}

// The frames exactly as the export draws them, one after another, raw.
bool writeRawFrames(const VideoExport& take, const fs::path& file) {
  std::ofstream out(file, std::ios::binary);
  const VideoPainter painter(take.knob, take.icon);
  QImage image = VideoPainter::makeFrame();
  const std::vector<ChordHit> doubled = take.doubledEvents();
  const double takeEnd = 2.0 * take.passLength();
  for (int i = 0; i < take.frameCount(); ++i) {
    const double t = static_cast<double>(i) / kVideoFps;
    if (t < takeEnd) {
      painter.drawTake(image, frameStateOf(doubled, take.key, t));
    } else {
      painter.drawOutro(image, t - takeEnd);
    }
    out.write(reinterpret_cast<const char*>(image.constBits()),
              static_cast<std::streamsize>(image.sizeInBytes()));
  }
  return static_cast<bool>(out);
}

// The raw frames drawn in a child of their own, for the same reason as the
// export: this process makes its application object only after its last fork.
bool writeRawFramesApart(const VideoExport& take, const fs::path& file) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    int argc = 1;
    char name[] = "bench_video";
    char* argv[] = {name, nullptr};
    QGuiApplication app(argc, argv);
    VideoExport withIcon = take;
    withIcon.icon = loadVideoIcon();
    _exit(writeRawFrames(withIcon, file) ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct ReferenceFigures {
  double wallSeconds = -1.0;
  double cpuSeconds = 0;
  double peakRssMb = 0;
};

// ffmpeg encoding the raw frames with the export's settings; wall and
// processor seconds and peak resident memory of the child.
ReferenceFigures measureReference(const fs::path& raw, const fs::path& out) {
  const std::string size = std::to_string(kVideoWidth) + "x" + std::to_string(kVideoHeight);
  std::vector<std::string> args = {
      "ffmpeg",
      "-nostdin",
      "-y",
      "-v",
      "error",
      "-f",
      "rawvideo",
      "-pix_fmt",
      "bgra",
      "-s",
      size,
      "-framerate",
      "30",
      "-i",
      raw.string(),
      "-vf",
      "scale=in_range=full:out_range=tv:out_color_matrix=bt709:flags=bicubic,format=yuv420p",
      "-c:v",
      "libx264",
      "-preset",
      "veryfast",
      "-profile:v",
      "high",
      "-b:v",
      "8M",
      "-g",
      "60",
      "-color_primaries",
      "bt709",
      "-color_trc",
      "bt709",
      "-colorspace",
      "bt709",
      "-color_range",
      "tv",
      "-movflags",
      "+faststart",
      out.string()};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const Clock::time_point start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execvp("ffmpeg", argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const double wall = secondsSince(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return {wall, cpuSeconds(usage), static_cast<double>(usage.ru_maxrss) / 1024.0};
}

// Runs before the parent makes its QGuiApplication (see measureExport).
void measureWholeExport() {
  constexpr int kRounds = 3;
  const VideoExport take = fourBarTake();
  const fs::path folder = makeTakeFolder();
  const double videoSeconds = take.frameCount() / static_cast<double>(kVideoFps);
  const fs::path raw = folder / "frames.bgra";
  if (!writeRawFramesApart(take, raw)) {
    std::printf("reference: cannot write the raw frames\n");
    fs::remove_all(folder);
    return;
  }

  ExportFigures best;
  ReferenceFigures ref;
  for (int round = 0; round < kRounds; ++round) {
    const ExportFigures f = measureExport(take, folder / kVideoFileName);
    if (!f.ok) {
      std::printf("video export failed\n");
      fs::remove_all(folder);
      return;
    }
    std::printf("video export, round %d: %.2f s wall, %.2f s processor, peak resident %.0f MiB\n",
                round + 1, f.wallSeconds, f.cpuSeconds, f.peakRssMb);
    if (round == 0 || f.wallSeconds < best.wallSeconds) {
      best.wallSeconds = f.wallSeconds;
      best.cpuSeconds = f.cpuSeconds;
    }
    best.peakRssMb = std::max(best.peakRssMb, f.peakRssMb);

    const ReferenceFigures r = measureReference(raw, folder / "reference.mp4");
    if (r.wallSeconds < 0) {
      std::printf("reference: the ffmpeg command failed or is missing\n");
      fs::remove_all(folder);
      return;
    }
    std::printf(
        "reference, the same frames from raw BGRA through ffmpeg, round %d: %.2f s wall, %.2f s "
        "processor, peak resident %.0f MiB\n",
        round + 1, r.wallSeconds, r.cpuSeconds, r.peakRssMb);
    if (round == 0 || r.wallSeconds < ref.wallSeconds) {
      ref.wallSeconds = r.wallSeconds;
      ref.cpuSeconds = r.cpuSeconds;
    }
    ref.peakRssMb = std::max(ref.peakRssMb, r.peakRssMb);
  }
  fs::remove_all(folder);
  std::printf(
      "video export, 4 bars at 120 bpm (%d frames, %.1f s of video), best of %d: %.2f s wall, "
      "%.2f s processor, peak resident %.0f MiB; reference %.2f s wall, %.2f s processor, "
      "peak resident %.0f MiB\n",
      take.frameCount(), videoSeconds, kRounds, best.wallSeconds, best.cpuSeconds, best.peakRssMb,
      ref.wallSeconds, ref.cpuSeconds, ref.peakRssMb);
  std::printf("SUMMARY video_export_s %.2f s\n", best.wallSeconds);
  std::printf("SUMMARY video_export_cpu_s %.2f s\n", best.cpuSeconds);
  std::printf("SUMMARY video_reference_s %.2f s\n", ref.wallSeconds);
  std::printf("SUMMARY video_reference_cpu_s %.2f s\n", ref.cpuSeconds);
  std::printf("SUMMARY video_export_ratio %.2f x\n", best.wallSeconds / ref.wallSeconds);
  std::printf("SUMMARY video_realtime_factor %.2f x\n", videoSeconds / best.wallSeconds);
  std::printf("SUMMARY video_peak_rss_mb %.0f MiB\n", best.peakRssMb);
  std::printf("SUMMARY video_reference_peak_rss_mb %.0f MiB\n", ref.peakRssMb);
}

void BM_FrameState(benchmark::State& state) {
  const VideoExport take = fourBarTake();
  const std::vector<ChordHit> doubled = take.doubledEvents();
  double t = 0.0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(frameStateOf(doubled, take.key, t));
    t = t >= 16.0 ? 0.0 : t + 1.0 / 30.0;
  }
}
BENCHMARK(BM_FrameState)->Unit(benchmark::kMicrosecond);

void BM_DrawTakeFrame(benchmark::State& state) {
  const VideoExport take = fourBarTake();
  const VideoPainter painter(take.knob, take.icon);
  QImage image = VideoPainter::makeFrame();
  const VideoExport::Frame frame = take.frameState(1.2);
  for (auto _ : state) {
    painter.drawTake(image, frame);
    benchmark::DoNotOptimize(image.constBits());
  }
}
BENCHMARK(BM_DrawTakeFrame)->Unit(benchmark::kMillisecond);

void BM_DrawOutroFrame(benchmark::State& state) {
  VideoExport take = fourBarTake();
  take.icon = loadVideoIcon();
  const VideoPainter painter(take.knob, take.icon);
  QImage image = VideoPainter::makeFrame();
  for (auto _ : state) {
    painter.drawOutro(image, 1.0);
    benchmark::DoNotOptimize(image.constBits());
  }
}
BENCHMARK(BM_DrawOutroFrame)->Unit(benchmark::kMillisecond);

// Converting one drawn frame to YUV: whole, and only the rows that changed
// since the frame before, where one pad lit up (comparing the frames
// included).
void BM_ConvertFrame(benchmark::State& state) {
  const VideoExport take = fourBarTake();
  const VideoPainter painter(take.knob, take.icon);
  QImage before = VideoPainter::makeFrame();
  QImage after = VideoPainter::makeFrame();
  painter.drawTake(before, take.frameState(0.6));
  painter.drawTake(after, take.frameState(0.7));
  const int stride = static_cast<int>(after.bytesPerLine());
  const bool byBands = state.range(0) != 0;
  av::PictureConverter converter(kVideoWidth, kVideoHeight);
  converter.convert(before.constBits(), stride, {});
  for (auto _ : state) {
    std::vector<av::RowBand> bands = {{0, kVideoHeight}};
    if (byBands) {
      bands = av::PictureConverter::changedBands(after.constBits(), before.constBits(), stride,
                                                 kVideoWidth, kVideoHeight);
    }
    converter.convert(after.constBits(), stride, bands);
    benchmark::DoNotOptimize(converter.picture());
  }
}
BENCHMARK(BM_ConvertFrame)->Arg(0)->Arg(1)->ArgName("byBands")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  measureWholeExport();
  QGuiApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
