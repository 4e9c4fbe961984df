#pragma once

// The pad model: the one object the panel, the keyboard map, MIDI input, the
// screen and the exports talk to. It turns pad presses into voiced chords for
// the render core, keeps and stores the settings, and runs takes: a count-in,
// the recording, quantize, loop playback, drop and undo.
//
// Thread contract: main thread only. The render core is reached through the
// engine host (its command queue, clock, beat counter and started-note
// queue); MIDI notes arrive on the main thread through MIDIInput. No lock is
// taken. Published fields notify their observers synchronously on every
// assignment. Timers and delayed tasks belong to the model and are cancelled
// with it; the clock, main thread and audio backend must outlive it.

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "audio/audio_backend.h"
#include "audio/midi_input.h"
#include "audio/midi_output.h"
#include "audio/piano_engine.h"
#include "base/main_thread.h"
#include "export/video_export.h"
#include "files/written.h"
#include "model/published.h"
#include "model/render_job.h"
#include "music/chord_hit.h"
#include "music/fresh_settings.h"
#include "music/key.h"
#include "music/pad_state.h"
#include "music/shown.h"
#include "music/take.h"
#include "screen/input.h"

namespace quimbel {

class PadModel {
 public:
  using State = PadState;

  // What the model is built on. The program hands in the monotonic clock, Qt
  // timers, the user's settings, the device backend and the sequencer; tests
  // and the command line hand in virtual time, memory settings and the
  // on-demand backend.
  struct Services {
    Clock& clock;
    MainThread& mainThread;
    AudioBackend& audio;  // must outlive the model
    PianoEngine::SampleInstaller installSamples;
    std::unique_ptr<SettingsStore> defaults;
    std::unique_ptr<MidiSequencer> midiSequencer;  // null: the system's
    bool startMidi = true;      // false: MIDI notes are mapped but no input opens
    bool reduceMotion = false;  // the desktop's reduce-motion setting at launch
  };

  // The sources that hold a modifier on: sevenths (Tab, a seventh gesture on
  // a pad, the 8 key), ninths (Shift, 9), strum (Space, 0).
  enum class Modifier { tabKey, tabMouse, key8, shiftKey, key9, spaceKey, key0 };

  static constexpr int kPads = 7;
  static constexpr int kPadFaces = 8;
  static constexpr double kNever = -1e9;
  static constexpr double kTickSeconds = 1.0 / 120.0;
  static constexpr double kIdleStopMs = 2000.0;
  static constexpr int kPendingLimit = 64;
  static constexpr int kCountInBeats = 4;
  static constexpr double kClickDelaySeconds = 0.08;
  static constexpr double kCountFromSeconds = 0.03;
  static constexpr double kFirstPassSeconds = 0.05;
  static constexpr double kScheduleAheadSeconds = 1.0;
  // Loop playback hands the core its chords a few at a time, as they come
  // within kScheduleAheadSeconds of the clock, so that neither the core's
  // command queue nor its scheduled list ever drops one. It leaves this many
  // queue slots free for live presses (32 chords of a release-all and up to
  // seven notes)...
  static constexpr int kLoopQueueRoomKept = 256;
  // ...and keeps at most this many entries waiting in the scheduled list: the
  // rest of the list is room for a full queue of entries the model already
  // counts as carried out but the core has not yet taken in.
  static constexpr int kLoopWaitingLimit = CoreScheduledCapacity - CoreQueueCapacity;
  static constexpr double kLiveNoteSeconds = 1.9;
  static constexpr double kDefaultHoldSeconds = 0.2;
  static constexpr double kMinHoldSeconds = 0.05;
  static constexpr int kKeyVelocity = 100;

  // Loads the stored settings, pushes tempo and volume to the engine, fills
  // the direct-MIDI map and starts MIDI input.
  explicit PadModel(Services services);
  ~PadModel();
  PadModel(const PadModel&) = delete;
  PadModel& operator=(const PadModel&) = delete;

  // --- Published fields (subscribe through the returned reference) ---
  const Published<State>& state() const { return state_; }
  const Published<int>& countN() const { return countN_; }
  const Published<int>& elapsed() const { return elapsed_; }
  const Published<int>& bpm() const { return bpm_; }
  const Published<bool>& metronome() const { return metronome_; }
  const Published<bool>& pinned() const { return pinned_; }
  const Published<bool>& wide() const { return wide_; }
  const Published<bool>& live() const { return live_; }
  const Published<bool>& visible() const { return visible_; }
  const Published<bool>& reduceMotion() const { return reduceMotion_; }
  const Published<Chords::Key>& key() const { return key_; }
  const Published<int>& knob() const { return knob_; }
  const Published<bool>& bass() const { return bass_; }
  const Published<bool>& sevenths() const { return sevenths_; }
  const Published<bool>& ninths() const { return ninths_; }
  const Published<bool>& strum() const { return strum_; }
  const Published<bool>& legendUp() const { return legendUp_; }
  const Published<double>& knobShownAt() const { return knobShownAt_; }
  const Published<bool>& knobDragging() const { return knobDragging_; }
  const Published<double>& volume() const { return volume_; }
  const Published<bool>& pickerOpen() const { return pickerOpen_; }
  const Published<std::set<int>>& held() const { return held_; }
  const Published<std::array<double, kPadFaces>>& releasedAt() const { return releasedAt_; }
  const Published<std::optional<ChordScreen::Shown>>& shownChord() const { return shownChord_; }
  const Published<bool>& quantize() const { return quantize_; }
  const Published<bool>& playing() const { return playing_; }
  const Published<bool>& videoRendering() const { return video_.rendering(); }
  const Published<bool>& audioRendering() const { return audio_.rendering(); }

  // --- Plain fields, read-only ---
  bool modifier(Modifier source) const;
  double modsAt() const { return modsAt_; }
  bool volumeDragging() const { return volumeDragging_; }
  double volumeShownAt() const { return volumeShownAt_; }
  double volumeBefore() const { return volumeBefore_; }
  std::int32_t nextTag() const { return nextTag_; }
  const std::map<std::int32_t, ChordHit>& pending() const { return pending_; }
  double lastPlayed() const { return lastPlayed_; }
  const std::vector<ChordHit>& events() const { return events_; }
  const std::vector<ChordHit>& rawEvents() const { return rawEvents_; }
  const std::vector<ChordHit>& kept() const { return kept_; }
  std::int64_t recStart() const { return recStart_; }
  double recAt() const { return recAt_; }
  double taken() const { return taken_; }
  double rawTaken() const { return rawTaken_; }
  double loopLength() const { return loopLength_; }
  std::int64_t playStart() const { return playStart_; }
  // Loop passes handed to the core in full; the next pass may be partly sent.
  int passesSent() const { return passesSent_; }
  int takeID() const { return takeID_; }
  bool tickerRunning() const;

  PianoEngine& engine() { return *engine_; }
  MIDIInput& midi() { return *midi_; }
  MidiOutput& midiOut() { return *midiOut_; }
  SettingsStore& defaults() { return *defaults_; }

  // --- Pads and modifiers ---
  // Callers that hold a pad down (keyboard, mouse) put it into `held` first.
  void holdPad(int pad);
  // Plays the chord of pad 0 … 6; no velocity means a key or mouse press.
  void press(int pad, std::optional<int> velocity = std::nullopt);
  void release(int pad);
  // The panel lost focus or hid: lets go of every pad and modifier.
  void releaseAllPads();
  // Sets one source; updateModifiers then recomputes the three modifiers.
  void setModifier(Modifier source, bool down);
  void updateModifiers(bool pressed);

  // --- Settings ---
  void setKnob(int value);
  void cycleKnob();
  void toggleBass();
  void setKey(Chords::Key key, bool play);
  void shiftTonic(int steps);
  void playTonic();
  // Sounds the tonic chord after a pause, unless another key change comes first.
  void scheduleTonic(double delaySeconds);
  void setBpm(int bpm);           // clamped to 60 … 200
  void setVolume(double volume);  // clamped to 0 … 1; heard as volume²
  void toggleMute();
  void setQuantize(bool on);

  // --- Panel state ---
  void setVolumeDragging(bool dragging);
  void setKnobDragging(bool dragging);
  void setPickerOpen(bool open);
  void setPinned(bool pinned);
  void setWide(bool wide);
  void setLive(bool live);
  void setVisible(bool visible);
  void setReduceMotion(bool reduce);

  // --- MIDI ---
  void midiNote(int pad, int velocity);
  void midiSources(int count);

  // --- Takes ---
  void toggleRecord();
  void toggleMetronome();
  void togglePlay();
  void startPlayback();
  void dropTake();
  void undo();
  // The 120 Hz ticker body; public so that the command line can step it.
  void tick();

  // The hit a press of the pad would record now, with the current key, knob,
  // bass, modifiers and tempo (t = 0, hold 0.2).
  ChordHit hitFor(int pad, std::optional<int> velocity = std::nullopt) const;
  // Ends a recording whose hits (in recording order, t from the downbeat)
  // and raw length are known: quantizes as `quantize` says and moves to
  // `done`, or to `ready` when there are no hits. Stopping a live recording
  // goes through here; the command line calls it with the hits of a document.
  void finishRecording(std::vector<ChordHit> hits, double rawLength);

  // The finished take, present only in state `done`.
  std::optional<Take> take() const;
  // The finished take's MIDI file, or why there is none; nothing outside `done`.
  std::optional<Written> exportMidi() const;

  // --- Audio export (rendered on a background thread, as the video) ---
  using AudioCallback = RenderJob<Take>::Callback;
  // The cached audio file when it belongs to the current take.
  std::optional<std::filesystem::path> cachedAudio() const { return audio_.cached(takeID_); }
  // Why the last audio render gave no file; empty once another starts.
  const std::string& audioFailure() const { return audio_.failure(); }
  // Calls back with the current take's audio file, or why there is none: at
  // once when cached, otherwise when the running or a new render finishes (a
  // new one starts only in `done`; elsewhere the callback waits for the next).
  void withAudio(AudioCallback callback);
  // Blocks until a running audio render has handed its completion to the
  // main thread. The command line and tests use this; the panel never blocks.
  void awaitAudioRender() { audio_.await(); }

  // --- Video export (the job renders, the model says what) ---
  // Answered with the finished take's video, or with nothing.
  using VideoCallback = std::function<void(std::optional<std::filesystem::path>)>;
  // How videos are made. The program hands in the real export, which draws
  // with Qt; without a renderer every render fails. `render` runs on a
  // background thread with its own copy of the record; `icon` runs on the
  // main thread.
  struct VideoMaker {
    std::function<Written(const VideoExport&, const std::filesystem::path&)> render;
    std::function<std::optional<VideoBitmap>()> icon;
  };
  void setVideoMaker(VideoMaker maker);
  // The cached video when it belongs to the current take.
  std::optional<std::filesystem::path> cachedVideo() const;
  // Calls back with the current take's video: at once when cached, otherwise
  // when the running or a new render finishes (a new one starts only in
  // `done`; elsewhere the callback waits for the next render).
  void withVideo(VideoCallback callback);
  // Why the last video render gave no file; empty once another starts.
  const std::string& videoFailure() const { return video_.failure(); }
  // Blocks until a running render has handed its completion to the main
  // thread (which still has to run it). The command line and tests use this;
  // the panel never blocks.
  void awaitVideoRender() { video_.await(); }

  // --- Helpers shared with the screen and the direct-MIDI map ---
  ChordScreen::Shown shownFor(int pad, std::optional<bool> seventh = std::nullopt,
                              std::optional<bool> ninth = std::nullopt) const;
  void refreshCoreChords();
  std::int32_t takeTag();
  void setupMidi();
  void startTicker();
  ChordScreen::Input screenInput(double nowMs) const;

 private:
  double now() const { return clock_.nowMs(); }
  void store(std::string_view settingKey, const std::string& text);
  void applyTempo();
  void applyVolume();
  void stopPlaying();
  void restartMetronomeIfOn();
  void beginRecording();
  void stopRecording();
  void applyQuantize();
  void schedulePasses();
  void loopNotice(std::int64_t index);
  void handleStarted(const StartedNote& notice, double rate);
  void setReleasedAt(int pad, double ms);
  bool idle() const;
  bool videoStillCurrent(int takeID, const VideoExport& rendered) const;

  Clock& clock_;
  MainThread& mainThread_;

  // Core fields.
  std::unique_ptr<PianoEngine> engine_;
  std::unique_ptr<SettingsStore> defaults_;
  Published<State> state_{State::ready};
  Published<int> countN_{0};
  Published<int> elapsed_{0};
  Published<int> bpm_{kFreshBpm};
  Published<bool> metronome_{false};
  Published<bool> pinned_{false};
  Published<bool> wide_{false};
  Published<bool> live_{false};
  Published<bool> visible_{false};
  Published<bool> reduceMotion_{false};
  Published<Chords::Key> key_{kFreshKey};
  Published<int> knob_{kFreshKnob};
  Published<bool> bass_{kFreshBass};
  Published<bool> sevenths_{false};
  bool tabKey_ = false, tabMouse_ = false, key8_ = false;
  Published<bool> ninths_{false};
  bool shiftKey_ = false, key9_ = false;
  Published<bool> strum_{false};
  bool spaceKey_ = false, key0_ = false;
  Published<bool> legendUp_{false};
  Published<double> knobShownAt_{kNever};
  bool volumeDragging_ = false;
  Published<bool> knobDragging_{false};
  std::unique_ptr<TaskHandle> tonicWork_;
  double modsAt_ = kNever;
  Published<double> volume_{kFreshVolume};
  double volumeShownAt_ = kNever;
  double volumeBefore_ = kFreshVolume;
  Published<bool> pickerOpen_{false};
  Published<std::set<int>> held_;
  // The pads of `held` that the user holds down (keys, mouse), as opposed to
  // pads lit by loop playback, whose light must not end such a hold.
  std::set<int> padsDown_;
  Published<std::array<double, kPadFaces>> releasedAt_{
      {kNever, kNever, kNever, kNever, kNever, kNever, kNever, kNever}};
  Published<std::optional<ChordScreen::Shown>> shownChord_;
  std::int32_t nextTag_ = 0;
  std::map<std::int32_t, ChordHit> pending_;
  std::map<int, std::int64_t> pressFrame_;
  double lastPlayed_ = kNever;
  std::unique_ptr<MIDIInput> midi_;
  std::unique_ptr<MidiOutput> midiOut_;

  // Take fields.
  std::vector<ChordHit> events_;
  std::vector<ChordHit> preRoll_;
  std::int64_t recStart_ = 0;
  bool recStartPending_ = false;
  double recAt_ = kNever;
  double taken_ = 0.0;
  std::uint64_t lastBeats_ = 0;
  std::int64_t countFrom_ = 0;
  std::unique_ptr<TaskHandle> ticker_;
  std::vector<ChordHit> rawEvents_;
  double rawTaken_ = 0.0;
  double loopLength_ = 0.0;
  Published<bool> quantize_{true};
  Published<bool> playing_{false};
  std::int64_t playStart_ = 0;
  int passesSent_ = 0;
  // The loop's cursor: the next hit of pass passesSent_ to hand to the core.
  std::size_t nextHit_ = 0;
  // Hits handed to the core whose entries may still wait in its scheduled
  // list (the last frame among them, and how many), in the order sent.
  struct SentHit {
    std::int64_t lastFrame = 0;
    int entries = 0;
  };
  std::deque<SentHit> loopWaiting_;
  int loopWaitingEntries_ = 0;
  const RenderCore* playEngine_ = nullptr;
  std::vector<ChordHit> kept_;
  int takeID_ = 0;

  // Pads lit by loop playback go dark after their recorded hold.
  std::vector<std::unique_ptr<TaskHandle>> loopLights_;

  // The exports of the take; quantize changes empty their caches. Last, so
  // that their renders are joined before anything else of the model goes.
  RenderJob<Take> audio_;
  RenderJob<VideoExport> video_;
  std::function<std::optional<VideoBitmap>()> videoIcon_;
};

}  // namespace quimbel
