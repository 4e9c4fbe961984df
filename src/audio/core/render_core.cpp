#include "audio/core/render_core.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "audio/core/midi_chord_map.h"
#include "audio/core/render_core_state.h"
#include "audio/core/voice_mixer.h"

namespace quimbel {
namespace {

constexpr std::int64_t NeverFrame = std::numeric_limits<std::int64_t>::max();
constexpr float AccentCountInGain = 0.13034f;
constexpr float BeatCountInGain = 0.102900006f;
constexpr float AccentClickGain = 0.06174f;
constexpr float BeatClickGain = 0.048019998f;
constexpr double PadChordSeconds = 1.9;

[[noreturn]] void outOfMemory(const char* what) {
  std::fprintf(stderr, "Quimbel: out of memory making %s\n", what);
  std::abort();
}

// A seconds-times-rate product as whole frames, truncated toward zero and
// held inside the 64-bit range (an absurd duration must not wrap the clock).
std::int64_t framesOf(double product) {
  if (!(product == product)) return 0;
  if (product >= 9.0e18) return std::numeric_limits<std::int64_t>::max() / 4;
  if (product <= -9.0e18) return std::numeric_limits<std::int64_t>::min() / 4;
  return static_cast<std::int64_t>(product);
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum;
  if (__builtin_add_overflow(a, b, &sum))
    return b > 0 ? NeverFrame : std::numeric_limits<std::int64_t>::min();
  return sum;
}

void fillSample(CoreSample& sample, const float* left, const float* right, std::int32_t frames) {
  const std::size_t count = static_cast<std::size_t>(std::max(frames, 1));
  sample.left = static_cast<std::int16_t*>(std::calloc(count, sizeof(std::int16_t)));
  sample.right = static_cast<std::int16_t*>(std::calloc(count, sizeof(std::int16_t)));
  if (sample.left == nullptr || sample.right == nullptr) outOfMemory("a sample");
  sample.frames = frames;
  auto convert = [](float x) -> std::int16_t {
    if (x > 1.0f) return 32767;
    return static_cast<std::int16_t>(std::nearbyint(std::max(x, -1.0f) * 32767.0f));
  };
  for (std::int32_t i = 0; i < frames; ++i) {
    sample.left[i] = convert(left[i]);
    sample.right[i] = convert(right != nullptr ? right[i] : left[i]);
  }
}

void makeClick(CoreSample& click, double rate, double frequency) {
  const auto length = static_cast<std::int32_t>(rate * 0.09);
  float* buffer = static_cast<float*>(
      std::calloc(static_cast<std::size_t>(std::max(length, 1)), sizeof(float)));
  if (buffer == nullptr) outOfMemory("a metronome click");
  for (std::int32_t i = 0; i < length; ++i) {
    const double t = i / rate;
    const double envelope = t < 0.002 ? t / 0.002 : std::exp((t - 0.002) / -0.035 * 6.9);
    buffer[i] = static_cast<float>(std::sin(2.0 * M_PI * frequency * t) * envelope);
  }
  fillSample(click, buffer, nullptr, length);
  std::free(buffer);
}

void releaseSample(CoreSample& sample) {
  std::free(sample.left);
  std::free(sample.right);
  sample = CoreSample{};
}

template <typename Ring>
void enqueue(Ring& ring, const CoreEvent& event) {
  ring.push(event);
}

CoreEvent command(CoreEventKind kind) {
  CoreEvent e{};
  e.kind = kind;
  e.tag = NoTag;
  return e;
}

// Reports one note event on the current channel, when MIDI out is on.
void reportMidi(RenderCore& c, std::int64_t frame, bool on, std::int32_t note,
                std::int32_t velocity) noexcept {
  if (c.midiOutChannel == 0) return;
  CoreMidiEvent e;
  e.frame = frame;
  e.status = static_cast<std::uint8_t>((on ? 0x90u : 0x80u) | (c.midiOutChannel - 1));
  e.note = static_cast<std::uint8_t>(note & 0x7F);
  e.velocity = static_cast<std::uint8_t>(on ? std::clamp(velocity, 1, 127) : 0);
  if (c.midiBlockCount < CoreMidiBlockCapacity) c.midiBlock[c.midiBlockCount++] = e;
  c.midiOutQueue.push(e);
}

// The note-off of a voice whose note-on went out, at a frame of its own.
void reportVoiceOff(RenderCore& c, Voice& v, std::int64_t frame) noexcept {
  if (v.isClick != 0 || v.midiState != MidiOnSaid) return;
  reportMidi(c, frame, false, v.note, 0);
  v.midiState = MidiOffSaid;
}

// First free voice, else the oldest (lowest index among equals). Clicks
// take part in the same choice; a piano note taken over ends here.
Voice& takeVoice(RenderCore& c) {
  int oldest = 0;
  for (int v = 0; v < CoreVoiceCount; ++v) {
    if (c.voices[v].sample == nullptr) return c.voices[v];
    if (c.voices[v].startFrame < c.voices[oldest].startFrame) oldest = v;
  }
  reportVoiceOff(c, c.voices[oldest], c.clock);
  return c.voices[oldest];
}

void startNote(RenderCore& c, std::int32_t note, std::int32_t delay, float gain,
               double durationSeconds, std::int32_t tag, std::int32_t velocity) {
  const CoreSample* sample = nullptr;
  std::int32_t sampleNote = 0;
  for (std::int32_t d = 0; d <= 127 && sample == nullptr; ++d) {
    if (note - d >= 0 && note - d <= 127) {
      sample = c.samples[note - d].load(std::memory_order_acquire);
      sampleNote = note - d;
    }
    if (sample == nullptr && note + d <= 127 && note + d >= 0) {
      sample = c.samples[note + d].load(std::memory_order_acquire);
      sampleNote = note + d;
    }
  }
  if (sample == nullptr || sample->frames < 1) return;

  Voice& v = takeVoice(c);
  v.sample = sample;
  v.position = 0.0;
  v.step = c.pitchRatio[std::clamp(note - sampleNote, -24, 24) + 24];
  v.delay = delay;
  v.gain = gain;
  v.envelope = 1.0f;
  v.envelopeMultiplier = 1.0f;
  v.startFrame = c.clock + delay;
  v.releaseFrame = saturatingAdd(v.startFrame, framesOf(durationSeconds * c.sampleRate));
  v.endFrame = saturatingAdd(v.releaseFrame, static_cast<std::int64_t>(c.sampleRate));
  v.isClick = 0;
  v.note = note;
  v.velocity = velocity;
  // Notes started while MIDI out is off are never reported, not even late.
  v.midiState = c.midiOutChannel != 0 ? MidiUnsaid : MidiOffSaid;
  if (tag != NoTag) c.startedQueue.push(StartedNote{tag, v.startFrame, velocity});
}

void releaseAllVoices(RenderCore& c) {
  const std::int64_t cutFrame = c.clock + static_cast<std::int64_t>(c.sampleRate * 0.2);
  for (Voice& v : c.voices) {
    if (v.sample == nullptr || v.isClick != 0) continue;
    if (v.delay >= 1) {
      v.sample = nullptr;  // not yet sounding (and not yet reported): dropped outright
      continue;
    }
    reportVoiceOff(c, v, c.clock);
    v.envelopeMultiplier = std::min(v.envelopeMultiplier, c.releaseAllMultiplier);
    v.endFrame = std::min(v.endFrame, cutFrame);
  }
}

void playPadChord(RenderCore& c, const CoreEvent& e) {
  const std::int32_t pad = e.note;
  if (pad < 0 || pad >= CorePadCount) return;
  std::int32_t notes[7];
  const std::int32_t count = currentPadChord(static_cast<std::uint32_t>(pad), notes);
  if (count == 0) return;
  releaseAllVoices(c);
  // The same loudness scale as every other chord: gain x 0.7 / sqrt(max(n / 3, 1)).
  const float chordGain =
      e.gain * (0.7f / std::sqrt(std::max(static_cast<float>(count) / 3.0f, 1.0f)));
  for (std::int32_t k = 0; k < count; ++k) {
    startNote(c, notes[k], 0, chordGain, PadChordSeconds, k == 0 ? e.tag : NoTag, e.velocity);
  }
}

void handle(RenderCore& c, const CoreEvent& e) {
  switch (e.kind) {
    case CoreEventKind::NoteOn: {
      const double delayFrames = e.time * c.sampleRate;
      // Past starts begin now; absurd offsets wait as long as a voice can.
      std::int32_t delay = 0;
      if (delayFrames >= 2147483647.0) {
        delay = 2147483647;
      } else if (delayFrames >= 1.0) {
        delay = static_cast<std::int32_t>(delayFrames);
      }
      startNote(c, e.note, delay, e.gain, e.durationSeconds, e.tag, e.velocity);
      break;
    }
    case CoreEventKind::ReleaseAll:
      releaseAllVoices(c);
      break;
    case CoreEventKind::MetronomeStart: {
      MetronomeState& m = c.metronome;
      m.running = 1;
      m.nextBeatFrame = std::fma(e.time, c.sampleRate, static_cast<double>(c.clock));
      m.beat = 0;
      m.countInLeft = static_cast<std::uint32_t>(e.note);
      m.publishedBeat.store(0, std::memory_order_relaxed);
      m.publishedNextBeatFrame.store(framesOf(m.nextBeatFrame), std::memory_order_relaxed);
      m.publishedRunning.store(1, std::memory_order_relaxed);
      break;
    }
    case CoreEventKind::MetronomeStop:
      c.metronome.running = 0;
      c.metronome.countInLeft = 0;
      c.metronome.publishedRunning.store(0, std::memory_order_relaxed);
      break;
    case CoreEventKind::PadChord:
      playPadChord(c, e);
      break;
    case CoreEventKind::ScheduleNote:
    case CoreEventKind::ScheduleReleaseAll:
      if (c.scheduledCount < CoreScheduledCapacity) {
        c.scheduled[c.scheduledCount++] =
            ScheduledEvent{framesOf(e.time),
                           e.note,
                           e.tag,
                           e.velocity,
                           e.kind == CoreEventKind::ScheduleReleaseAll ? 1u : 0u,
                           e.gain,
                           0,
                           e.durationSeconds};
      }
      break;
    case CoreEventKind::ClearScheduled:
      c.scheduledCount = 0;
      break;
    case CoreEventKind::EndMidiNotes:
      for (Voice& v : c.voices) {
        if (v.sample != nullptr) reportVoiceOff(c, v, c.clock);
      }
      break;
  }
}

// Carries out every scheduled event that is due and returns the earliest
// frame still waiting (or NeverFrame).
std::int64_t runDueEvents(RenderCore& c) {
  std::int32_t kept = 0;
  std::int64_t earliest = NeverFrame;
  const std::int32_t count = c.scheduledCount;
  for (std::int32_t i = 0; i < count; ++i) {
    const ScheduledEvent e = c.scheduled[i];
    if (e.frame > c.clock) {
      c.scheduled[kept++] = e;
      earliest = std::min(earliest, e.frame);
    } else if (e.isReleaseAll != 0) {
      releaseAllVoices(c);
    } else {
      startNote(c, e.note, 0, e.gain, e.durationSeconds, e.tag, e.velocity);
    }
  }
  c.scheduledCount = kept;
  return earliest;
}

void startClick(RenderCore& c, const CoreSample& sample, float gain, std::int32_t beatOffset) {
  Voice& v = takeVoice(c);
  v.sample = &sample;
  v.position = 0.0;
  v.step = 1.0;
  v.delay = beatOffset;
  v.gain = gain;
  v.envelope = 1.0f;
  v.envelopeMultiplier = 1.0f;
  v.isClick = 1;
  v.midiState = MidiOffSaid;
  v.startFrame = c.clock + beatOffset;
  v.releaseFrame = NeverFrame;
  v.endFrame = NeverFrame;
}

void runMetronome(RenderCore& c, std::int32_t n) {
  MetronomeState& m = c.metronome;
  if (m.running == 0) return;
  const double bpm = m.bpm.load(std::memory_order_relaxed);
  const double chunkEnd = static_cast<double>(c.clock + n);
  if (!(m.nextBeatFrame < chunkEnd)) return;
  const double samplesPerBeat = c.sampleRate * (60.0 / bpm);
  do {
    const double ahead = m.nextBeatFrame - static_cast<double>(c.clock);
    const std::int32_t beatOffset = ahead >= 1.0 ? static_cast<std::int32_t>(ahead) : 0;
    const bool accent = m.beat % 4 == 0;
    const CoreSample& sample = accent ? c.clickAccent : c.clickBeat;
    if (m.countInLeft >= 1) {
      startClick(c, sample, accent ? AccentCountInGain : BeatCountInGain, beatOffset);
    } else if (m.enabled.load(std::memory_order_relaxed) != 0) {
      startClick(c, sample, accent ? AccentClickGain : BeatClickGain, beatOffset);
    }
    if (m.countInLeft >= 1) --m.countInLeft;
    ++m.beat;
    m.nextBeatFrame += samplesPerBeat;
    m.publishedBeat.store(m.beat, std::memory_order_relaxed);
    m.publishedNextBeatFrame.store(framesOf(m.nextBeatFrame), std::memory_order_relaxed);
  } while (m.nextBeatFrame < chunkEnd);
}

// Takes the MIDI-out setting for this render call; a change of channel or
// turning it off ends the notes reported on the old channel now.
void takeMidiOutSetting(RenderCore& c) noexcept {
  c.midiBlockCount = 0;
  const std::uint32_t setting = c.midiOutSetting.load(std::memory_order_relaxed);
  if (setting == c.midiOutChannel) return;
  for (Voice& v : c.voices) {
    if (v.sample != nullptr) reportVoiceOff(c, v, c.clock);
    if (v.midiState == MidiUnsaid) v.midiState = MidiOffSaid;
  }
  c.midiOutChannel = setting;
}

// Before a chunk is mixed: the note-ons of voices that begin sounding in it
// and the note-offs of notes whose end falls in it.
void reportChunkStarts(RenderCore& c, std::int32_t n) noexcept {
  if (c.midiOutChannel == 0) return;
  const std::int64_t chunkEnd = c.clock + n;
  for (Voice& v : c.voices) {
    if (v.sample == nullptr || v.isClick != 0) continue;
    if (v.midiState == MidiUnsaid && v.delay < n) {
      reportMidi(c, c.clock + std::max(v.delay, 0), true, v.note, v.velocity);
      v.midiState = MidiOnSaid;
    }
    if (v.midiState == MidiOnSaid && v.releaseFrame < chunkEnd)
      reportVoiceOff(c, v, std::max({v.releaseFrame, v.startFrame, c.clock}));
  }
}

// After a chunk is mixed: notes whose sample ran out before their end.
void reportChunkEnds(RenderCore& c, std::int32_t n) noexcept {
  if (c.midiOutChannel == 0) return;
  for (Voice& v : c.voices) {
    if (v.sample == nullptr) reportVoiceOff(c, v, c.clock + n - 1);
  }
}

void runMaster(RenderCore& c, float* left, float* right, std::int32_t n) {
  const float target = c.volume.load(std::memory_order_relaxed) * 0.9f;
  if (c.smoothedGain < 0.0f) c.smoothedGain = target;
  const float increment = (target - c.smoothedGain) / static_cast<float>(n);
  float g = c.smoothedGain;
  std::int32_t idx = c.preDelayIndex;
  const std::int32_t length = c.preDelayLength;
  float levelDb = c.levelDb;
  for (std::int32_t j = 0; j < n; ++j) {
    g += increment;
    const float dryL = g * c.pianoLeft[j];
    const float dryR = g * c.pianoRight[j];
    const float dl = c.preDelayLeft[idx];
    const float dr = c.preDelayRight[idx];
    c.preDelayLeft[idx] = dryL;
    c.preDelayRight[idx] = dryR;
    idx = idx + 1 == length ? 0 : idx + 1;
    float wetL;
    float wetR;
    reverbTick(c.reverb, wetL, wetR, dl, dr);
    const float mixL = dryL + 0.24f * wetL;
    const float mixR = dryR + 0.24f * wetR;

    const float gr = compressorReductionDb(std::max(std::fabs(mixL), std::fabs(mixR)));
    levelDb += (gr - levelDb) * (gr < levelDb ? c.attackCoef : c.releaseCoef);
    const float gc = c.makeup * (levelDb > -0.001f ? 1.0f : std::pow(10.0f, levelDb / 20.0f));

    float outL = mixL * gc + c.clickLeft[j];
    float outR = mixR * gc + c.clickRight[j];
    if (std::fabs(outL) > 1.0f) outL = std::tanh(outL);
    if (std::fabs(outR) > 1.0f) outR = std::tanh(outR);
    left[j] = outL;
    right[j] = outR;
  }
  c.levelDb = levelDb;
  c.preDelayIndex = idx;
  c.smoothedGain = target;
}

}  // namespace

float compressorReductionDb(float peak) noexcept {
  // Soft knee: -10 dB threshold, 3:1 above it, 8 dB wide knee.
  if (!(peak > 0.1995f)) return 0.0f;
  const float x = 20.0f * std::log10(peak);
  const float over = x + 14.0f;
  return x < -6.0f ? over * (over * -0.6666666f) * 0.0625f : (over - 8.0f + 4.0f) * -0.6666666f;
}

// ---- creation and samples ----

RenderCore* createCore(double sampleRate) {
  auto* c = new (std::nothrow) RenderCore();
  if (c == nullptr) outOfMemory("a render core");
  c->sampleRate = sampleRate;
  for (int k = -24; k <= 24; ++k) c->pitchRatio[k + 24] = std::pow(2.0, k / 12.0);
  makeClick(c->clickAccent, sampleRate, 1500.0);
  makeClick(c->clickBeat, sampleRate, 1100.0);
  c->volume.store(CoreInitialVolume);
  c->smoothedGain = -1.0f;
  c->metronome.bpm.store(CoreInitialBpm);
  const double preDelay = std::round(sampleRate * 0.018);
  c->preDelayLength =
      static_cast<std::int32_t>(std::clamp(preDelay == preDelay ? preDelay : 0.0, 513.0, 4607.0)) -
      512;
  if (!setUpReverb(c->reverb, sampleRate)) outOfMemory("the reverb");
  c->attackCoef = 1.0f - std::exp(-1.0f / (static_cast<float>(sampleRate) * 0.005f));
  c->releaseCoef = 1.0f - std::exp(-1.0f / (static_cast<float>(sampleRate) * 0.25f));
  c->makeup = 1.6069412f;
  c->releaseMultiplier = static_cast<float>(std::exp(-1.0 / (sampleRate * 0.125)));
  c->releaseAllMultiplier = static_cast<float>(std::exp(-1.0 / (sampleRate * 0.03)));
  return c;
}

void destroyCore(RenderCore* core) {
  if (core == nullptr) return;
  detachMidiEngine(core);
  for (auto& slot : core->samples) freeSample(slot.exchange(nullptr));
  releaseSample(core->clickAccent);
  releaseSample(core->clickBeat);
  tearDownReverb(core->reverb);
  delete core;
}

double coreSampleRate(const RenderCore* core) { return core->sampleRate; }

CoreSample* makeSample(const float* left, const float* right, std::int32_t frames) {
  auto* sample = new (std::nothrow) CoreSample();
  if (sample == nullptr) outOfMemory("a sample");
  fillSample(*sample, left, right, frames);
  return sample;
}

CoreSample* makeSilentSample(std::int32_t frames) {
  auto* sample = new (std::nothrow) CoreSample();
  if (sample == nullptr) outOfMemory("a sample");
  const std::size_t count = static_cast<std::size_t>(std::max(frames, 1));
  sample->left = static_cast<std::int16_t*>(std::calloc(count, sizeof(std::int16_t)));
  sample->right = static_cast<std::int16_t*>(std::calloc(count, sizeof(std::int16_t)));
  if (sample->left == nullptr || sample->right == nullptr) outOfMemory("a sample");
  sample->frames = frames;
  return sample;
}

void freeSample(CoreSample* sample) {
  if (sample == nullptr) return;
  releaseSample(*sample);
  delete sample;
}

CoreSample* installSample(RenderCore* core, std::uint32_t note, CoreSample* sample) {
  if (note > 127) return sample;
  return core->samples[note].exchange(sample, std::memory_order_acq_rel);
}

// ---- main-thread commands ----

void noteOn(RenderCore* core, std::uint32_t note, std::int32_t tag, std::int32_t velocity,
            float gain, double startOffsetSeconds, double durationSeconds) {
  if (note > 127) return;
  CoreEvent e = command(CoreEventKind::NoteOn);
  e.note = static_cast<std::int32_t>(note);
  e.tag = tag;
  e.velocity = velocity;
  e.gain = gain;
  e.time = startOffsetSeconds;
  e.durationSeconds = durationSeconds;
  enqueue(core->mainQueue, e);
}

void releaseAll(RenderCore* core) { enqueue(core->mainQueue, command(CoreEventKind::ReleaseAll)); }

void scheduleNote(RenderCore* core, std::uint32_t note, std::int64_t frame, std::int32_t tag,
                  std::int32_t velocity, float gain, double durationSeconds) {
  if (note > 127) return;
  CoreEvent e = command(CoreEventKind::ScheduleNote);
  e.note = static_cast<std::int32_t>(note);
  e.time = static_cast<double>(frame);
  e.tag = tag;
  e.velocity = velocity;
  e.gain = gain;
  e.durationSeconds = durationSeconds;
  enqueue(core->mainQueue, e);
}

void scheduleReleaseAll(RenderCore* core, std::int64_t frame) {
  CoreEvent e = command(CoreEventKind::ScheduleReleaseAll);
  e.time = static_cast<double>(frame);
  enqueue(core->mainQueue, e);
}

void clearScheduled(RenderCore* core) {
  enqueue(core->mainQueue, command(CoreEventKind::ClearScheduled));
}

void endMidiNotes(RenderCore* core) {
  enqueue(core->mainQueue, command(CoreEventKind::EndMidiNotes));
}

std::int32_t commandRoom(const RenderCore* core) {
  return static_cast<std::int32_t>(core->mainQueue.room());
}

void startMetronome(RenderCore* core, std::uint32_t countInBeats, double delaySeconds) {
  CoreEvent e = command(CoreEventKind::MetronomeStart);
  e.note = static_cast<std::int32_t>(countInBeats);
  e.time = delaySeconds;
  enqueue(core->mainQueue, e);
}

void stopMetronome(RenderCore* core) {
  enqueue(core->mainQueue, command(CoreEventKind::MetronomeStop));
}

void setVolume(RenderCore* core, float volume) {
  core->volume.store(std::clamp(volume == volume ? volume : 0.0f, 0.0f, 1.0f),
                     std::memory_order_relaxed);
}

void setBPM(RenderCore* core, double bpm) {
  core->metronome.bpm.store(std::clamp(bpm == bpm ? bpm : CoreInitialBpm, 30.0, 300.0),
                            std::memory_order_relaxed);
}

void setMetronomeOn(RenderCore* core, std::uint32_t on) {
  core->metronome.enabled.store(on, std::memory_order_relaxed);
}

std::int64_t currentFrame(const RenderCore* core) {
  return core->publishedClock.load(std::memory_order_acquire);
}
std::uint64_t beatCount(const RenderCore* core) {
  return core->metronome.publishedBeat.load(std::memory_order_relaxed);
}
std::int64_t nextBeatFrame(const RenderCore* core) {
  return core->metronome.publishedNextBeatFrame.load(std::memory_order_relaxed);
}
std::uint32_t metronomeRunning(const RenderCore* core) {
  return core->metronome.publishedRunning.load(std::memory_order_relaxed);
}

std::int32_t drainStarted(RenderCore* core, StartedNote* notes, std::int32_t max) {
  if (max < 1) return 0;
  return static_cast<std::int32_t>(
      core->startedQueue.popUpTo(notes, static_cast<std::size_t>(max)));
}

std::int32_t drainStarted(RenderCore* core, std::int32_t* tags, std::int64_t* frames,
                          std::int32_t* velocities, std::int32_t max) {
  std::int32_t total = 0;
  StartedNote batch[64];
  while (total < max) {
    const std::int32_t want = std::min<std::int32_t>(max - total, 64);
    const std::int32_t got = drainStarted(core, batch, want);
    for (std::int32_t i = 0; i < got; ++i) {
      tags[total + i] = batch[i].tag;
      frames[total + i] = batch[i].frame;
      velocities[total + i] = batch[i].velocity;
    }
    total += got;
    if (got < want) break;
  }
  return total;
}

void setMidiOut(RenderCore* core, bool on, std::int32_t channel) {
  core->midiOutSetting.store(on ? static_cast<std::uint32_t>(std::clamp(channel, 1, 16)) : 0u,
                             std::memory_order_relaxed);
}

void setPianoMuted(RenderCore* core, bool muted) {
  core->pianoMuted.store(muted ? 1u : 0u, std::memory_order_relaxed);
}

std::int32_t renderedMidi(const RenderCore* core, const CoreMidiEvent** events) {
  *events = core->midiBlock;
  return core->midiBlockCount;
}

std::int32_t drainMidiOut(RenderCore* core, CoreMidiEvent* events, std::int32_t max) {
  if (max < 1) return 0;
  return static_cast<std::int32_t>(
      core->midiOutQueue.popUpTo(events, static_cast<std::size_t>(max)));
}

// ---- the audio thread ----

void render(RenderCore* core, float* left, float* right, std::int32_t frames) noexcept {
  RenderCore& c = *core;
#if defined(__x86_64__) || defined(__i386__)
  // Denormals would slow the decaying tails by orders of magnitude.
  const unsigned savedCsr = _mm_getcsr();
  _mm_setcsr(savedCsr | 0x8040);  // flush to zero, denormals are zero
#endif
  takeMidiOutSetting(c);
  c.mainQueue.drain([&c](const CoreEvent& e) { handle(c, e); });
  c.midiQueue.drain([&c](const CoreEvent& e) {
    if (e.kind == CoreEventKind::PadChord) handle(c, e);
  });

  std::int32_t offset = 0;
  while (offset < frames) {
    const std::int64_t earliest = runDueEvents(c);
    std::int32_t n = std::min(frames - offset, CoreChunkFrames);
    if (earliest != NeverFrame)
      n = static_cast<std::int32_t>(std::min<std::int64_t>(n, earliest - c.clock));
    std::memset(c.pianoLeft, 0, sizeof(float) * static_cast<std::size_t>(n));
    std::memset(c.pianoRight, 0, sizeof(float) * static_cast<std::size_t>(n));
    std::memset(c.clickLeft, 0, sizeof(float) * static_cast<std::size_t>(n));
    std::memset(c.clickRight, 0, sizeof(float) * static_cast<std::size_t>(n));
    runMetronome(c, n);
    reportChunkStarts(c, n);
    mixVoices(c, n);
    reportChunkEnds(c, n);
    if (c.pianoMuted.load(std::memory_order_relaxed) != 0) {
      std::memset(c.pianoLeft, 0, sizeof(float) * static_cast<std::size_t>(n));
      std::memset(c.pianoRight, 0, sizeof(float) * static_cast<std::size_t>(n));
    }
    runMaster(c, left + offset, right + offset, n);
    c.clock += n;
    offset += n;
  }
  c.publishedClock.store(c.clock, std::memory_order_release);
#if defined(__x86_64__) || defined(__i386__)
  _mm_setcsr(savedCsr);
#endif
}

}  // namespace quimbel

namespace quimbel {

bool enqueuePadChord(RenderCore* core, std::int32_t pad, std::int32_t velocity, float gain) {
  CoreEvent e{};
  e.kind = CoreEventKind::PadChord;
  e.note = pad;
  e.tag = -(pad + 1);
  e.velocity = velocity;
  e.gain = gain;
  return core->midiQueue.push(e);
}

std::int32_t handOverMidiChords(RenderCore* from, RenderCore* to) {
  std::int32_t moved = 0;
  from->midiQueue.drain([&](const CoreEvent& e) {
    if (e.kind == CoreEventKind::PadChord && to != nullptr && to->mainQueue.push(e)) ++moved;
  });
  return moved;
}

}  // namespace quimbel
