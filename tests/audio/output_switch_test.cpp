#include "audio/output_switch.h"

#include <gtest/gtest.h>

#include "audio/core/core_fixture.h"
#include "audio/core/midi_chord_map.h"
#include "audio/fake_jack_server.h"
#include "audio/on_demand_backend.h"
#include "audio/piano_engine.h"
#include "diagnostics/manual_main_thread.h"
#include "diagnostics/report.h"

namespace quimbel {
namespace {

using Route = OutputChoice::Route;

void installTone(RenderCore* core, double) {
  freeSample(installSample(core, 60, testing::toneSample(261.63, 48000)));
}

float peak(const std::vector<float>& samples) {
  float top = 0.0f;
  for (float x : samples) top = std::max(top, std::fabs(x));
  return top;
}

std::vector<std::string> labels(const std::vector<OutputChoice::Item>& items) {
  std::vector<std::string> out;
  for (const auto& item : items) out.push_back(item.checked ? item.label + " *" : item.label);
  return out;
}

struct SwitchRig {
  explicit SwitchRig(std::optional<std::string> stored = std::nullopt) {
    if (stored) settings.setValue(OutputSetting::output, *stored);
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
  PianoEngine engine{mainThread, outputs, installTone};
};

TEST(OutputChoiceTest, TheMenuOffersWhatAnswersAndMarksTheChoice) {
  const OutputChoice::Offer all{true, {"pulse", "USB Audio"}};
  const OutputChoice::Offer none{false, {"pulse"}};
  struct Row {
    std::string stored;
    OutputChoice::Offer offer;
    std::vector<std::string> menu;
  } rows[] = {
      {"", all, {"Automatic *", "JACK", "pulse", "USB Audio"}},
      {"jack", all, {"Automatic", "JACK *", "pulse", "USB Audio"}},
      {"USB Audio", all, {"Automatic", "JACK", "pulse", "USB Audio *"}},
      {"automatic", none, {"Automatic *", "pulse"}},
      {"jack", none, {"Automatic", "JACK (not running) *", "pulse"}},
      {"USB Audio", none, {"Automatic", "pulse", "USB Audio (not connected) *"}},
  };
  for (const Row& row : rows) EXPECT_EQ(labels(OutputChoice(row.stored).menu(row.offer)), row.menu);
}

TEST(OutputSwitchTest, TheChoiceAndLowLatencyAreStoredAndRestored) {
  SwitchRig first;
  first.outputs.choose("USB Audio", first.settings);
  first.outputs.setLowLatency(true, first.settings);
  EXPECT_EQ(first.settings.value(OutputSetting::output), "USB Audio");
  EXPECT_EQ(first.settings.value(OutputSetting::lowLatency), "true");
  first.outputs.choose("  ", first.settings);
  EXPECT_EQ(first.settings.value(OutputSetting::output), "automatic");
  first.outputs.choose("USB Audio", first.settings);

  OnDemandBackend system;
  testing::FakeJackServer server;
  JackBackend jack(server);
  OutputSwitch restored(jack, system);
  restored.load(first.settings);
  EXPECT_EQ(restored.choice().chosen(), "USB Audio");
  EXPECT_TRUE(restored.lowLatency());
  system.setDevices({"USB Audio"});
  restored.deviceRate();
  restored.makeStream(nullptr, 48000.0, nullptr);
  EXPECT_EQ(system.streamDevice(), "USB Audio");
  EXPECT_TRUE(system.streamLowLatency());
}

// jackd is killed while a chord sounds: the stream ends, the rebuild falls
// back to Automatic with one log line and the same core (the chord and the
// take carry on), and the menu says why. Once jackd is back, the next look
// (the panel's showing) takes the program back to JACK.
TEST(OutputSwitchTest, AKilledJackServerFallsBackToAutomaticAndComesBackByItself) {
  diagnostics::LogCapture log;
  SwitchRig rig("jack");
  rig.engine.start();
  ASSERT_EQ(rig.outputs.route(), Route::jack);
  EXPECT_EQ(rig.system.streamsMade(), 0);
  rig.engine.noteOn(60, 1, 100, 0.5f, 0.0, 2.0);
  ASSERT_TRUE(rig.server.play(4800));
  RenderCore* core = rig.engine.core();

  rig.server.kill();
  rig.mainThread.runPending();
  EXPECT_EQ(rig.outputs.route(), Route::automatic);
  EXPECT_EQ(rig.engine.core(), core);
  ASSERT_TRUE(rig.system.pull(4800));
  EXPECT_GT(peak(rig.system.left()), 0.01f) << "the chord rings on through the sound server";
  rig.engine.start();
  EXPECT_EQ(labels(rig.outputs.menu()),
            (std::vector<std::string>{"Automatic", "JACK (not running) *", "pulse", "USB Audio"}));
  EXPECT_FALSE(rig.outputs.returnDue());
  const std::vector<std::string> lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.find("JACK") != line.npos; }),
            1);
  EXPECT_TRUE(log.contains("[audio] JACK isn't running: playing through Automatic"));

  rig.server.running = true;
  ASSERT_TRUE(rig.outputs.returnDue());
  rig.engine.start();
  EXPECT_EQ(rig.outputs.route(), Route::jack);
  EXPECT_EQ(rig.system.streamsOpen(), 0);
  EXPECT_TRUE(rig.server.play(128));
  EXPECT_TRUE(log.contains("[audio] back on JACK"));
}

// An unknown stored device (a card that is unplugged) plays through
// Automatic with a log line; the card's return is noticed and taken up.
// Choosing another output applies at the next start.
TEST(OutputSwitchTest, AMissingDeviceFallsBackUntilItIsPluggedIn) {
  diagnostics::LogCapture log;
  SwitchRig rig("Studio Card");
  rig.engine.start();
  EXPECT_EQ(rig.outputs.route(), Route::automatic);
  EXPECT_EQ(rig.system.streamDevice(), "");
  EXPECT_TRUE(rig.engine.running());
  EXPECT_TRUE(log.contains("[audio] no output device \"Studio Card\": playing through Automatic"));
  EXPECT_FALSE(rig.outputs.returnDue());

  rig.system.setDevices({"pulse", "Studio Card"});
  ASSERT_TRUE(rig.outputs.returnDue());
  rig.engine.start();
  EXPECT_EQ(rig.outputs.route(), Route::device);
  EXPECT_EQ(rig.system.streamDevice(), "Studio Card");
  EXPECT_TRUE(log.contains("[audio] back on \"Studio Card\""));

  rig.outputs.choose("jack", rig.settings);
  rig.engine.start();
  EXPECT_EQ(rig.outputs.route(), Route::jack);
  EXPECT_TRUE(rig.server.active);
  rig.outputs.choose("automatic", rig.settings);
  rig.engine.start();
  EXPECT_FALSE(rig.server.clientOpen()) << "the program's ports left the graph";
}

}  // namespace
}  // namespace quimbel
