// Key to sound inside the program: a key press arriving at the panel's
// window, through the keyboard map, the app delegate's wiring, the pad model
// and the engine host, to the render call that starts the chord's first
// note, with the real piano at 48 kHz in 128-frame device buffers. Offscreen
// Qt; the bench stands in for the audio thread and calls render itself.
//
// A device calls render once per buffer period (2.67 ms), and a key arrives
// at any moment in between: each press is given an arrival phase spread
// evenly over the period, and its latency is the wait for the first device
// call that begins after the press has been handled, plus that call's own
// duration. The handling and the render call are timed for real; the
// started-note notice confirms which call started the chord. Between
// presses the previous chord rings for 20 buffers, so every render call has
// voices to mix.
//
// Prints a Google Benchmark figure for one key press and release through the
// panel, then "SUMMARY <name> <value> <unit>" lines for scripts/bench; the
// whole key-to-ear figure adds the output latency the default device reports
// (0 where there is none).

#include <benchmark/benchmark.h>
#include <time.h>

#include <QApplication>
#include <QKeyEvent>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/app_delegate.h"
#include "app/pad_panel.h"
#include "audio/core/render_core.h"
#include "audio/on_demand_backend.h"
#include "audio/portaudio_backend.h"
#include "audio/sample_bank.h"
#include "base/manual_main_thread.h"

namespace {

using namespace quimbel;
using SteadyClock = std::chrono::steady_clock;

constexpr double kRate = 48000.0;
constexpr int kBufferFrames = OnDemandBackend::BufferFrames;
constexpr double kPeriodMs = kBufferFrames / kRate * 1000.0;
constexpr int kPresses = 200;
constexpr int kRingBuffers = 20;

// X11 scan codes of the top-row keys 1 … 7.
constexpr quint32 kPadScanCodes[] = {10, 11, 12, 13, 14, 15, 16};

double msBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

struct Rig {
  ManualClock clock{1000.0};
  ManualMainThread main{clock};
  OnDemandBackend backend;
  AppDelegate app{PadModel::Services{clock, main, backend, installPianoSamples,
                                     std::make_unique<MemorySettingsStore>(),
                                     std::make_unique<NoMidiSequencer>(), false, false},
                  AppDelegate::Desktop{.trayAvailable = false}};
  std::vector<float> left = std::vector<float>(kBufferFrames);
  std::vector<float> right = std::vector<float>(kBufferFrames);
  StartedNote notices[64];

  quint64 serverTime = 1000;

  Rig() {
    backend.setDeviceRate(kRate);
    app.setup();  // shows the panel and starts the engine
    // A release goes out when the event loop next runs, not 5 ms later.
    app.panel()->setRepeatPairWindowMs(0);
  }

  RenderCore* core() { return app.model().engine().core(); }

  // The panel's native window receives the key as the desktop delivers it.
  void key(QEvent::Type type, int pad) {
    const int qtKey = Qt::Key_1 + pad;
    QKeyEvent event(type, qtKey, Qt::NoModifier, kPadScanCodes[pad], 0, 0,
                    QString(QChar(u'1' + pad)));
    event.setTimestamp(++serverTime);
    QCoreApplication::sendEvent(app.panel()->windowHandle(), &event);
    if (type == QEvent::KeyRelease) QCoreApplication::processEvents();
  }

  void renderBuffer() { render(core(), left.data(), right.data(), kBufferFrames); }

  // The frame at which the chord of the newest press began, or -1.
  std::int64_t startedFrame() {
    std::int64_t frame = -1;
    const std::int32_t tag = app.model().nextTag();
    for (std::int32_t n; (n = drainStarted(core(), notices, 64)) > 0;) {
      for (std::int32_t i = 0; i < n; ++i) {
        if (notices[i].tag == tag) frame = notices[i].frame;
      }
    }
    return frame;
  }
};

// Made in main and gone before the application object.
std::unique_ptr<Rig> theRig;
Rig& rig() { return *theRig; }

void keyPressAndReleaseThroughThePanel(benchmark::State& state) {
  Rig& r = rig();
  int pad = 0;
  for (auto _ : state) {
    r.key(QEvent::KeyPress, pad);
    r.key(QEvent::KeyRelease, pad);
    state.PauseTiming();
    r.renderBuffer();  // keeps the command queue from filling
    r.startedFrame();
    state.ResumeTiming();
    pad = (pad + 1) % 7;
  }
}
BENCHMARK(keyPressAndReleaseThroughThePanel);

// The output latency the default device reports for a 128-frame stream.
double deviceLatencyMs() {
  silenceAlsaErrors();
  PortAudioBackend device;
  const double rate = device.deviceRate();
  RenderCore* silent = createCore(rate);
  double latencyMs = 0.0;
  {
    auto stream = device.makeStream(silent, rate, [] {});
    if (stream->start().empty()) {
      latencyMs = stream->latencyMs();
      stream->stop();
    }
  }
  destroyCore(silent);
  return latencyMs;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(std::ceil(p * values.size())) - 1;
  return values[std::min(index, values.size() - 1)];
}

// The calling thread's processor time in milliseconds: what the work costs
// when no other process takes the processor away in between.
double threadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

// One press's latency: the wait from its arrival phase to the first device
// call that begins once the press is handled, plus that call.
double latencyMs(double phaseMs, double handlingMs, double renderMs) {
  return std::ceil((phaseMs + handlingMs) / kPeriodMs) * kPeriodMs - phaseMs + renderMs;
}

void summary() {
  Rig& r = rig();
  std::vector<double> handling, renderCall, latency, latencyCpu;
  int late = 0;
  for (int i = 0; i < kPresses; ++i) {
    for (int b = 0; b < kRingBuffers; ++b) r.renderBuffer();
    r.startedFrame();
    const int pad = (i * 3) % 7;
    // Golden-ratio steps spread the arrivals evenly over the period.
    const double phaseMs = std::fmod(i * 0.6180339887498949, 1.0) * kPeriodMs;

    const double cpu0 = threadCpuMs();
    const SteadyClock::time_point arrived = SteadyClock::now();
    r.key(QEvent::KeyPress, pad);
    const SteadyClock::time_point handled = SteadyClock::now();
    const double cpu1 = threadCpuMs();
    const std::int64_t callFrame = currentFrame(r.core());
    r.renderBuffer();
    const SteadyClock::time_point rendered = SteadyClock::now();
    const double cpu2 = threadCpuMs();
    r.key(QEvent::KeyRelease, pad);

    // The core takes commands at the start of a call: the chord begins on
    // that call's first frame.
    if (r.startedFrame() != callFrame) ++late;
    handling.push_back(msBetween(arrived, handled));
    renderCall.push_back(msBetween(handled, rendered));
    latency.push_back(latencyMs(phaseMs, handling.back(), renderCall.back()));
    latencyCpu.push_back(latencyMs(phaseMs, cpu1 - cpu0, cpu2 - cpu1));
  }
  const double deviceMs = deviceLatencyMs();
  std::printf(
      "%d presses; %d chords did not start on the first frame of the render call after the press\n",
      kPresses, late);
  std::printf("handling p50 %.3f ms, render call p50 %.3f ms (wall clock)\n",
              percentile(handling, 0.5), percentile(renderCall, 0.5));
  std::printf("key to sound by processor time alone: p50 %.2f ms, p99 %.2f ms\n",
              percentile(latencyCpu, 0.5), percentile(latencyCpu, 0.99));
  std::printf("device output latency %.1f ms%s\n", deviceMs,
              deviceMs > 0.0 ? "" : " (no output device here)");
  std::printf("SUMMARY key_handling_p99_ms %.3f ms\n", percentile(handling, 0.99));
  std::printf("SUMMARY key_render_call_p99_ms %.3f ms\n", percentile(renderCall, 0.99));
  std::printf("SUMMARY key_to_sound_p50_ms %.2f ms\n", percentile(latency, 0.50));
  std::printf("SUMMARY key_to_sound_p99_ms %.2f ms\n", percentile(latency, 0.99));
  std::printf("SUMMARY key_to_sound_cpu_p99_ms %.2f ms\n", percentile(latencyCpu, 0.99));
  std::printf("SUMMARY key_to_ear_p99_ms %.2f ms\n", percentile(latency, 0.99) + deviceMs);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  preloadSampleLibrary(kRate);
  theRig = std::make_unique<Rig>();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  summary();
  theRig.reset();
  return 0;
}
