// The chords as MIDI: every piano note the core sounds comes out as a
// note-on at its first sounding frame and a note-off when it lets go.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "audio/core/core_fixture.h"
#include "audio/core/render_core.h"

namespace quimbel {
namespace {

using namespace testing;

struct Heard {
  std::vector<CoreMidiEvent> events;
  std::vector<float> left;
  bool outsideBlock = false;
};

// Renders in blocks the way an audio server does and collects each block's
// events, checking that they fall inside the block they were reported in.
Heard play(RenderCore* core, int frames, int block = 64) {
  Heard heard;
  std::vector<float> r(static_cast<std::size_t>(block));
  for (int done = 0; done < frames; done += block) {
    const std::int64_t start = currentFrame(core);
    std::vector<float> l(static_cast<std::size_t>(block));
    render(core, l.data(), r.data(), block);
    heard.left.insert(heard.left.end(), l.begin(), l.end());
    const CoreMidiEvent* events = nullptr;
    const int count = renderedMidi(core, &events);
    for (int i = 0; i < count; ++i) {
      heard.outsideBlock |= events[i].frame < start || events[i].frame >= start + block;
      heard.events.push_back(events[i]);
    }
  }
  return heard;
}

CorePtr pianoCore() {
  CorePtr core(createCore(48000.0));
  for (std::uint32_t note = 36; note <= 84; ++note)
    freeSample(installSample(core.get(), note, constantSample(0.2f, 96000)));
  return core;
}

TEST(MidiOutTest, AStrummedChordReportsEachNoteAtItsFirstSoundingFrame) {
  CorePtr core = pianoCore();
  setMidiOut(core.get(), true, 5);
  play(core.get(), 100);  // the clock is not at a block boundary
  const int notes[] = {48, 52, 55};
  releaseAll(core.get());
  for (int k = 0; k < 3; ++k) noteOn(core.get(), notes[k], NoTag, 90, 0.5f, k * 0.001, 0.01);
  Heard heard = play(core.get(), 2000);
  EXPECT_FALSE(heard.outsideBlock);
  ASSERT_EQ(heard.events.size(), 6u);
  for (int k = 0; k < 3; ++k) {
    const CoreMidiEvent& on = heard.events[static_cast<std::size_t>(k)];
    EXPECT_EQ(on.status, 0x94) << "note-on on channel 5";
    EXPECT_EQ(on.note, notes[k]);
    EXPECT_EQ(on.velocity, 90);
    // The block started at frame 128: the first note's first sample is
    // frame 128, the strum adds 48 frames a note.
    EXPECT_EQ(on.frame, 128 + 48 * k);
    auto off = std::ranges::find_if(heard.events, [&](const CoreMidiEvent& e) {
      return e.status == 0x84 && e.note == notes[k];
    });
    ASSERT_NE(off, heard.events.end());
    EXPECT_EQ(off->frame, on.frame + 480) << "the note's 10 ms end";
  }
  // The note-on's frame is the first frame the piano is heard at.
  const auto first = std::ranges::find_if(heard.left, [](float x) { return x != 0.0f; });
  EXPECT_EQ(first - heard.left.begin(), heard.events[0].frame - 128);
}

TEST(MidiOutTest, EveryWayANoteStopsSendsItsNoteOffOnce) {
  CorePtr core = pianoCore();
  setMidiOut(core.get(), true, 1);
  // A release-all ends the sounding notes; a strummed note not yet sounding
  // is dropped and never reported at all.
  noteOn(core.get(), 60, NoTag, 100, 0.5f, 0.0, 5.0);
  noteOn(core.get(), 64, NoTag, 100, 0.5f, 1.0, 5.0);
  play(core.get(), 128);
  releaseAll(core.get());
  Heard released = play(core.get(), 96000);
  ASSERT_EQ(released.events.size(), 1u);
  EXPECT_EQ(released.events[0].status, 0x80);
  EXPECT_EQ(released.events[0].note, 60);
  EXPECT_EQ(released.events[0].frame, 128);

  // A sixty-fifth note takes the oldest voice: its note ends there.
  for (int v = 0; v < 65; ++v) noteOn(core.get(), 40 + v % 40, NoTag, 100, 0.1f, 0.0, 5.0);
  Heard stolen = play(core.get(), 64);
  EXPECT_EQ(std::ranges::count(stolen.events, 0x90, &CoreMidiEvent::status), 64)
      << "a note taken over before it sounded is never reported";
  noteOn(core.get(), 80, NoTag, 100, 0.1f, 0.0, 5.0);
  Heard taken = play(core.get(), 64);
  ASSERT_EQ(taken.events.size(), 2u);
  EXPECT_EQ(taken.events[0].status, 0x80) << "the sounding note taken over ends first";
  EXPECT_EQ(taken.events[1].note, 80);
  // Turning MIDI out off ends what still sounds; notes started while it is
  // off are never reported, not even once it is on again.
  setMidiOut(core.get(), false, 1);
  Heard off = play(core.get(), 64);
  EXPECT_EQ(std::ranges::count(off.events, 0x80, &CoreMidiEvent::status), 64);
  releaseAll(core.get());
  noteOn(core.get(), 70, NoTag, 100, 0.1f, 0.0, 0.01);
  play(core.get(), 64);
  setMidiOut(core.get(), true, 1);
  EXPECT_TRUE(play(core.get(), 4800).events.empty());

  // Ending the MIDI notes (a stopped loop) ends them at the next call's
  // first frame while the piano rings on; the note's own end says nothing more.
  noteOn(core.get(), 62, NoTag, 100, 0.5f, 0.0, 0.5);
  play(core.get(), 64);
  const std::int64_t endAt = currentFrame(core.get());
  endMidiNotes(core.get());
  Heard ended = play(core.get(), 48000);
  ASSERT_EQ(ended.events.size(), 1u);
  EXPECT_EQ(ended.events[0].status, 0x80);
  EXPECT_EQ(ended.events[0].frame, endAt);
  EXPECT_NE(ended.left[0], 0.0f) << "the piano rings on";

  // The queue for the main thread carries the same events in the same order.
  CoreMidiEvent queued[CoreQueueCapacity];
  const int count = drainMidiOut(core.get(), queued, CoreQueueCapacity);
  EXPECT_EQ(count, 2 + 64 + 2 + 64 + 2);
}

TEST(MidiOutTest, AMutedPianoIsSilentButStillReportsItsNotes) {
  CorePtr core = pianoCore();
  setMidiOut(core.get(), true, 1);
  setPianoMuted(core.get(), true);
  noteOn(core.get(), 60, NoTag, 100, 0.5f, 0.0, 0.5);
  Heard heard = play(core.get(), 9600);
  EXPECT_EQ(heard.events.size(), 1u);
  EXPECT_TRUE(std::ranges::all_of(heard.left, [](float x) { return x == 0.0f; }));
}

}  // namespace
}  // namespace quimbel
