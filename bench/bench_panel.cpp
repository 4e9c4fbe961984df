// The panel's screen on the main thread: the 60 Hz compose-and-compare of an
// idle panel (CPU per second of showing), and a frame that changes: compose,
// push and paint at the tall layout's 304-point screen on a 2× display.
// Prints Google Benchmark results, then "SUMMARY <name> <value> <unit>" lines
// for scripts/bench. Costs are the main thread's CPU time, which a busy
// machine does not inflate the way it does wall time.

#include <benchmark/benchmark.h>
#include <time.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "audio/on_demand_backend.h"
#include "base/manual_main_thread.h"
#include "model/pad_model.h"
#include "screen/screen_canvas.h"

namespace {

using namespace quimbel;

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A shown panel's canvas over a real pad model, as the app delegate wires it.
struct Rig {
  ManualClock clock{1000.0};
  ManualMainThread main{clock};
  OnDemandBackend backend;
  std::unique_ptr<PadModel> model;
  ScreenCanvas canvas;
  QImage backing{608, 608, QImage::Format_ARGB32_Premultiplied};

  Rig() {
    model = std::make_unique<PadModel>(
        PadModel::Services{clock, main, backend, nullptr, std::make_unique<MemorySettingsStore>(),
                           std::make_unique<NoMidiSequencer>(), false, false});
    model->setLive(true);
    canvas.resize(304, 304);
    canvas.setSource([this] {
      const double now = clock.nowMs();
      return ScreenCanvas::Frame{model->screenInput(now), now, model->live()};
    });
    backing.setDevicePixelRatio(2.0);
    canvas.drawFrame();
  }

  // One timer tick 1/60 s later.
  bool tick() {
    clock.set(clock.nowMs() + 1000.0 / 60.0);
    return canvas.drawFrame();
  }
  // What the window system asks for after a push: a paint into the 2× backing.
  void paint() {
    QPainter painter(&backing);
    canvas.render(&painter);
  }
};

void idleFrame(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) benchmark::DoNotOptimize(rig.tick());
}
BENCHMARK(idleFrame);

void changingFrameAt2x(benchmark::State& state) {
  Rig rig;
  int pad = 0;
  for (auto _ : state) {
    rig.model->setKnob(pad % 2 == 0 ? 2 : -3);  // the knob screen in two colours
    ++pad;
    benchmark::DoNotOptimize(rig.tick());
    rig.paint();
  }
}
BENCHMARK(changingFrameAt2x);

void summary() {
  {
    Rig rig;
    constexpr int kFrames = 60 * 20;
    const double before = threadCpuSeconds();
    for (int i = 0; i < kFrames; ++i) rig.tick();
    const double perFrame = (threadCpuSeconds() - before) / kFrames;
    std::printf("SUMMARY panel_idle_cpu %.1f us/s\n", perFrame * 60.0 * 1e6);
  }
  {
    Rig rig;
    constexpr int kFrames = 400;
    std::vector<double> costs;
    for (int i = 0; i < kFrames; ++i) {
      rig.model->setKnob(i % 2 == 0 ? 2 : -3);
      const double start = threadCpuSeconds();
      const bool pushed = rig.tick();
      rig.paint();
      costs.push_back((threadCpuSeconds() - start) * 1e3);
      if (!pushed) std::fprintf(stderr, "bench_panel: frame %d was not pushed\n", i);
    }
    std::sort(costs.begin(), costs.end());
    std::printf("SUMMARY panel_changed_frame_2x_median %.3f ms\n", costs[costs.size() / 2]);
    std::printf("SUMMARY panel_changed_frame_2x_p99 %.3f ms\n", costs[costs.size() * 99 / 100]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  summary();
  return 0;
}
