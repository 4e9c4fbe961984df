// The instrument in a host: where and how its chords sound, against the tray
// program's pads playing the same piano.

#include <gtest/gtest.h>

#include "plugin/plugin_fixtures.h"

namespace quimbel::testing {
namespace {

constexpr char kInstrument[] = "https://quimbel.app/lv2/quimbel";

// C4 at frame 37 of a 64-frame block sounds, at every rate, what the pads
// sound when the first pad is pressed on that frame, sample for sample: the
// chord's start frame and its pitches are the pads', which the core's and
// the sample bank's tests hold to the frame and in tune.
TEST(InstrumentTest, AKeyStartsItsPadChordOnItsFrameAsThePadsSoundIt) {
  SinePiano piano;
  for (double rate : {44100.0, 48000.0, 96000.0}) {
    SCOPED_TRACE(rate);
    Lv2Host host;
    PluginRun run(host, kInstrument, rate);
    ASSERT_TRUE(run.ok());
    const auto frames = std::int32_t(rate * 0.6);
    run.play({noteOn(37, 60, 64)}, frames, 64);
    TrayPads pads(piano.scratch.path(), rate, {});
    EXPECT_TRUE(sameSound(pads.pressAt(0, 64, 37, frames), run.left));
    EXPECT_TRUE(sameSound(pads.backend.right(), run.right));
  }
}

// Strummed chords, releases, black keys and a tempo change cut into blocks
// of 1, 37, 128 and 4096 frames: the host's block length changes nothing.
TEST(InstrumentTest, BlockLengthsChangeNothing) {
  SinePiano piano;
  const std::vector<Event> take = {
      noteOn(0, 60),      noteOn(4000, 61),       noteOn(9000, 67, 80), noteOff(12000, 67),
      noteOff(13000, 61), tempo(15000, 90),       noteOn(20011, 69),    noteOn(20011, 64, 20),
      noteOff(30000, 64), noteOn(30001, 72, 127), noteOn(40960, 65),    noteOff(47999, 65)};
  std::vector<float> first;
  for (std::uint32_t block : {4096u, 1u, 37u, 128u}) {
    Lv2Host host;
    PluginRun run(host, kInstrument, 48000.0);
    ASSERT_TRUE(run.ok());
    run.set("strum", 1);
    run.play(take, 48000, block);
    run.left.insert(run.left.end(), run.right.begin(), run.right.end());
    if (first.empty()) first = run.left;
    EXPECT_TRUE(sameSound(run.left, first)) << "blocks of " << block;
  }
}

// Releasing the chord's key damps it at once; releasing another key, or the
// same key on another channel, or a black key, leaves it ringing.
TEST(InstrumentTest, ReleasingTheChordsKeyDampsItAndNoOtherReleaseDoes) {
  SinePiano piano;
  auto played = [](const std::vector<Event>& take) {
    Lv2Host host;
    PluginRun run(host, kInstrument, 48000.0);
    run.play(take, 48000, 256);
    return run.left;
  };
  const std::vector<float> ringing = played({noteOn(0, 62)});
  const std::vector<float> released = played({noteOn(0, 62), noteOff(12000, 62)});
  EXPECT_TRUE(std::equal(ringing.begin(), ringing.begin() + 12000, released.begin()));
  EXPECT_LT(rms(between(released, 48000, 0.6, 1)), 0.05 * rms(between(ringing, 48000, 0.6, 1)));
  EXPECT_TRUE(sameSound(played({noteOn(0, 62), noteOn(1, 66), noteOff(12000, 60),
                                noteOff(13000, 66), noteOff(14000, 62, 3)}),
                        ringing));
}

// The shipped piano lies beside the bundle (lib/lv2/quimbel.lv2 and
// share/quimbel under one prefix, in the build tree or installed:
// $QUIMBEL_LV2_BUNDLE). Without a piano the instrument refuses to start and
// says why through the host's log; the chord generator needs none.
TEST(InstrumentTest, FindsThePianoBesideItsBundleOrSaysWhyNot) {
  {
    Lv2Host host;
    PluginRun run(host, kInstrument, 48000.0);
    ASSERT_TRUE(run.ok()) << (host.logged.empty() ? "" : host.logged[0]);
    run.play({noteOn(0, 64)}, 24000, 128);
    EXPECT_GT(rms(run.left), 0.01);
  }
  ScratchFolder empty;
  setenv("QUIMBEL_DATA_DIR", empty.path().c_str(), 1);
  Lv2Host host;
  EXPECT_FALSE(PluginRun(host, kInstrument, 48000.0).ok());
  EXPECT_TRUE(PluginRun(host, "https://quimbel.app/lv2/chords", 48000.0).ok());
  unsetenv("QUIMBEL_DATA_DIR");
  ASSERT_EQ(host.logged.size(), 1u);
  EXPECT_NE(host.logged[0].find("no piano recordings in " + empty.path().string()),
            std::string::npos)
      << host.logged[0];
}

}  // namespace
}  // namespace quimbel::testing
