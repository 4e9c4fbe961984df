#include "audio/output_switch.h"

#include <gtest/gtest.h>

#include "audio/core/core_fixture.h"
#include "audio/core/midi_chord_map.h"
#include "audio/fake_jack_server.h"
#include "audio/on_demand_backend.h"
#include "audio/piano_engine.h"
#include "base/manual_main_thread.h"
#include "diagnostics/report.h"

namespace quimbel {
namespace {

using Route = OutputChoice::Route;

std::vector<std::string> labels(const std::vector<OutputChoice::Item>& items) {
  std::vector<std::string> out;
  for (const auto& item : items) out.push_back(item.label + (item.checked ? " *" : ""));
  return out;
}

// The program's arrangement on virtual time: the switch over a fake JACK
// server and the on-demand backend for the system's outputs, with the
// settings holding `stored` as audio/output.
struct SwitchRig {
  explicit SwitchRig(const char* stored) {
    settings.setValue(OutputSetting::output, stored);
    system.setDevices({"pulse", "USB Audio"});
    outputs.load(settings);
  }
  ~SwitchRig() { setMidiEngine(nullptr); }

  ManualClock clock;
  ManualMainThread mainThread{clock};
  MemorySettingsStore settings;
  testing::FakeJackServer server;
  JackBackend jack{server};
  OnDemandBackend system;
  OutputSwitch outputs{jack, system};
  PianoEngine engine{mainThread, outputs, [](RenderCore* core, double) {
                       freeSample(installSample(core, 60, testing::toneSample(261.63, 48000)));
                     }};
};

// jackd is killed while a chord sounds: the stream ends, the rebuild falls
// back to Automatic with one log line and the same core (the chord and the
// take carry on), and the menu says why. Once jackd is back, the next look
// (the panel's showing) takes the program back to JACK.
TEST(OutputSwitchTest, AKilledJackServerFallsBackToAutomaticAndComesBackByItself) {
  diagnostics::LogCapture log;
  SwitchRig rig("jack");
  rig.engine.start();
  ASSERT_EQ(rig.outputs.route(), Route::jack);
  rig.engine.noteOn(60, 1, 100, 0.5f, 0.0, 2.0);
  ASSERT_TRUE(rig.server.play(4800));
  RenderCore* core = rig.engine.core();

  rig.server.kill();
  rig.mainThread.runPending();
  EXPECT_EQ(std::tuple(rig.outputs.route(), rig.engine.core(), rig.system.forgotten()),
            std::tuple(Route::automatic, core, 1))
      << "the same core; PortAudio's own JACK client is let go";
  ASSERT_TRUE(rig.system.pull(4800));
  EXPECT_GT(*std::max_element(rig.system.left().begin(), rig.system.left().end()), 0.01f)
      << "the chord rings on through the sound server";
  rig.engine.start();
  EXPECT_EQ(labels(rig.outputs.menu()),
            (std::vector<std::string>{"Automatic", "JACK (not running) *", "pulse", "USB Audio"}));
  EXPECT_FALSE(rig.outputs.returnDue());
  const std::vector<std::string> lines = log.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "[audio] JACK isn't running: playing through Automatic"),
            1);

  rig.server.running = true;
  ASSERT_TRUE(rig.outputs.returnDue());
  rig.engine.start();
  EXPECT_EQ(std::tuple(rig.outputs.route(), rig.system.streamsOpen(), rig.server.play(128)),
            std::tuple(Route::jack, 0, true));
  EXPECT_TRUE(log.contains("[audio] back on JACK"));
}

// A stored device that is missing (a card unplugged) plays through
// Automatic with a log line, and is taken up once it is plugged in. A new
// choice and Low latency are stored and apply at the next start; leaving
// JACK takes the program's ports out of the server's graph.
TEST(OutputSwitchTest, AMissingDeviceFallsBackUntilItIsPluggedInAndChoicesAreStored) {
  diagnostics::LogCapture log;
  SwitchRig rig("Studio Card");
  rig.engine.start();
  EXPECT_EQ(std::tuple(rig.outputs.route(), rig.system.streamDevice(), rig.engine.running()),
            std::tuple(Route::automatic, "", true));
  EXPECT_TRUE(log.contains("[audio] no output device \"Studio Card\": playing through Automatic"));
  EXPECT_FALSE(rig.outputs.returnDue());
  rig.system.setDevices({"pulse", "Studio Card"});
  ASSERT_TRUE(rig.outputs.returnDue());
  rig.engine.start();
  EXPECT_EQ(rig.system.streamDevice(), "Studio Card");
  EXPECT_TRUE(log.contains("[audio] back on \"Studio Card\""));

  rig.outputs.choose("jack", rig.settings);
  rig.engine.start();
  EXPECT_TRUE(rig.server.active);
  rig.outputs.choose("  ", rig.settings);
  rig.outputs.setLowLatency(true, rig.settings);
  rig.engine.start();
  EXPECT_FALSE(rig.server.clientOpen()) << "the program's ports left the graph";
  EXPECT_EQ(std::tuple(rig.settings.value(OutputSetting::output), rig.system.streamLowLatency()),
            std::tuple("automatic", true));
  SwitchRig restored("automatic");
  restored.outputs.load(rig.settings);
  EXPECT_TRUE(restored.outputs.lowLatency());
  restored.settings.setValue(OutputSetting::jackAutoConnect, " False");
  restored.settings.setValue(OutputSetting::lowLatency, "maybe");
  restored.outputs.load(restored.settings);
  restored.outputs.choose("jack", restored.settings);
  restored.engine.start();
  EXPECT_EQ(
      std::tuple(restored.server.active, restored.server.wired, restored.outputs.lowLatency()),
      std::tuple(true, testing::FakeJackServer::Wiring{}, false))
      << "left for the user to route";
}

}  // namespace
}  // namespace quimbel
