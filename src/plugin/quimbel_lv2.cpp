// The LV2 entry points of the two plugins in quimbel.lv2: a thin adapter that
// turns atoms and ports into calls on the tray program's own libraries.
// "Quimbel" sounds the chords through a render core of its own; "Quimbel
// Chords" writes their notes to its MIDI output instead.
//
// Thread contract (LV2's threading classes): instantiate, activate,
// deactivate and cleanup run on the host's instantiation thread, never
// beside run() of the same instance; connect_port and run() run on its audio
// thread. run() never allocates, frees, locks, waits or logs: the render
// core and PadKeys only touch memory taken in instantiate.

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/midi/midi.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <string>

#include "audio/core/midi_chord_map.h"
#include "audio/core/render_core.h"
#include "audio/sample_bank.h"
#include "music/fresh_settings.h"
#include "music/voicing.h"
#include "plugin/pad_keys.h"
#include "plugin/piano_folder.h"
#include "plugin/ports.h"

namespace quimbel::plugin {
namespace {

// Rates outside this range are no host's output rate.
constexpr double kLowestRate = 8000.0;
constexpr double kHighestRate = 768000.0;

// What both plugins read: the host's features, the MIDI input, the controls
// and the tempo a strum follows.
struct Input {
  LV2_URID_Map* map = nullptr;
  LV2_Log_Logger logger{};
  LV2_URID midiEvent = 0, atomObject = 0, atomBlank = 0, atomFloat = 0, atomDouble = 0,
           timePosition = 0, timeBpm = 0;
  double rate = 48000.0;
  const LV2_Atom_Sequence* midiIn = nullptr;
  std::array<const float*, kControlPorts> controls{};
  PadKeys keys;
  double bpm = kFreshBpm;

  // Takes the host's features; false (after a log line) without urid:map.
  bool start(double sampleRate, const LV2_Feature* const* features) {
    LV2_Log_Log* log = nullptr;
    for (int i = 0; features != nullptr && features[i] != nullptr; ++i) {
      if (std::strcmp(features[i]->URI, LV2_URID__map) == 0)
        map = static_cast<LV2_URID_Map*>(features[i]->data);
      if (std::strcmp(features[i]->URI, LV2_LOG__log) == 0)
        log = static_cast<LV2_Log_Log*>(features[i]->data);
    }
    lv2_log_logger_init(&logger, map, log);
    if (map == nullptr) {
      lv2_log_error(&logger, "Quimbel: the host offers no URID map; the plugin cannot start\n");
      return false;
    }
    if (!(sampleRate >= kLowestRate && sampleRate <= kHighestRate)) {
      lv2_log_error(&logger, "Quimbel: cannot run at %g Hz\n", sampleRate);
      return false;
    }
    rate = sampleRate;
    auto uri = [this](const char* name) { return map->map(map->handle, name); };
    midiEvent = uri(LV2_MIDI__MidiEvent);
    atomObject = uri(LV2_ATOM__Object);
    atomBlank = uri(LV2_ATOM__Blank);
    atomFloat = uri(LV2_ATOM__Float);
    atomDouble = uri(LV2_ATOM__Double);
    timePosition = uri(LV2_TIME__Position);
    timeBpm = uri(LV2_TIME__beatsPerMinute);
    return true;
  }

  bool connect(std::uint32_t port, void* data) {
    if (port == MidiIn) {
      midiIn = static_cast<const LV2_Atom_Sequence*>(data);
    } else if (port >= Tonic && port <= Strum) {
      controls[port - Tonic] = static_cast<const float*>(data);
    } else {
      return false;
    }
    return true;
  }

  // The MIDI message an event carries; empty for anything else. A host's
  // tempo is taken on the way, within the range the pads play at.
  std::span<const std::uint8_t> message(const LV2_Atom_Event* event) {
    if (event->body.type == midiEvent) {
      return {static_cast<const std::uint8_t*>(LV2_ATOM_BODY_CONST(&event->body)),
              event->body.size};
    }
    if (event->body.type == atomObject || event->body.type == atomBlank) {
      const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
      const LV2_Atom* tempo = nullptr;
      if (object->body.otype == timePosition) {
        lv2_atom_object_get(object, timeBpm, &tempo, 0);
        double value = 0.0;
        if (tempo != nullptr && tempo->type == atomFloat)
          value = reinterpret_cast<const LV2_Atom_Float*>(tempo)->body;
        if (tempo != nullptr && tempo->type == atomDouble)
          value = reinterpret_cast<const LV2_Atom_Double*>(tempo)->body;
        if (value > 0.0 && std::isfinite(value))
          bpm = std::clamp(value, double(kBpmMin), double(kBpmMax));
      }
    }
    return {};
  }

  Controls currentControls() const {
    return readControls(std::span<const float* const, kControlPorts>(controls));
  }

  // The event's frame inside the block, never before `from`.
  static std::uint32_t frameOf(const LV2_Atom_Event* event, std::uint32_t from, std::uint32_t n) {
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(event->time.frames, from, n));
  }
};

// Frames a note waits after its chord's key, truncated as the core truncates.
std::int64_t delayFrames(double offsetSeconds, double rate) {
  const double frames = offsetSeconds * rate;
  return frames >= 1.0 ? static_cast<std::int64_t>(frames) : 0;
}

// ---- "Quimbel": the instrument ----

// Commands one chord sends the core: a release-all and its notes.
constexpr std::int32_t kChordCommands = 1 + static_cast<std::int32_t>(kMaxChordNotes);

struct Instrument {
  Input input;
  std::shared_ptr<const SampleLibrary> piano;  // shared with the process's other instruments
  RenderCore* core = nullptr;
  const float* volume = nullptr;
  float* left = nullptr;
  float* right = nullptr;

  ~Instrument() { destroyCore(core); }

  // Sounds a pad's chord as a press with a velocity does: the previous chord
  // damped, every note at the velocity's gain times the chord's loudness.
  void play(const PadPress& press) {
    releaseAll(core);
    const float gain = velocityGain(press.velocity) * chordScale(press.notes.count);
    for (std::size_t j = 0; j < press.notes.count; ++j) {
      noteOn(core, static_cast<std::uint32_t>(press.notes.notes[j]), NoTag, press.velocity, gain,
             press.offsets[j], kDefaultNoteSeconds);
    }
  }
};

LV2_Handle instantiateInstrument(const LV2_Descriptor*, double rate, const char* bundle,
                                 const LV2_Feature* const* features) {
  std::unique_ptr<Instrument> plugin;
  try {
    plugin = std::make_unique<Instrument>();
    if (!plugin->input.start(rate, features)) return nullptr;
    std::string tried;
    for (const auto& folder : pianoFolderCandidates(bundle != nullptr ? bundle : ".")) {
      auto library = sharedPiano(folder);
      if (!library->empty()) {
        plugin->piano = std::move(library);
        break;
      }
      tried += (tried.empty() ? "" : ", ") + folder.string();
    }
    if (!plugin->piano) {
      lv2_log_error(&plugin->input.logger,
                    "Quimbel: no piano recordings in %s; the instrument cannot sound\n",
                    tried.c_str());
      return nullptr;
    }
    plugin->core = createCore(rate);
    installSamples(plugin->core, *plugin->piano, rate);
    setVolume(plugin->core, static_cast<float>(kFreshVolume * kFreshVolume));
  } catch (const std::exception& error) {
    if (plugin)
      lv2_log_error(&plugin->input.logger, "Quimbel: the piano could not be loaded: %s\n",
                    error.what());
    return nullptr;
  }
  return plugin.release();
}

void connectInstrument(LV2_Handle handle, std::uint32_t port, void* data) {
  auto& plugin = *static_cast<Instrument*>(handle);
  if (plugin.input.connect(port, data)) return;
  if (port == Volume) plugin.volume = static_cast<const float*>(data);
  if (port == OutLeft) plugin.left = static_cast<float*>(data);
  if (port == OutRight) plugin.right = static_cast<float*>(data);
}

void activateInstrument(LV2_Handle handle) {
  auto& plugin = *static_cast<Instrument*>(handle);
  plugin.input.keys.reset();
  releaseAll(plugin.core);
}

void runInstrument(LV2_Handle handle, std::uint32_t n) {
  auto& plugin = *static_cast<Instrument*>(handle);
  if (plugin.left == nullptr || plugin.right == nullptr) return;
  Input& input = plugin.input;
  // The volume heard is the square of the control's value, as on the panel.
  float volume = plugin.volume != nullptr ? *plugin.volume : static_cast<float>(kFreshVolume);
  volume = std::isfinite(volume) ? std::clamp(volume, 0.0f, 1.0f) : 0.0f;
  setVolume(plugin.core, volume * volume);

  // Renders up to each event's frame, so that its chord starts exactly there.
  std::uint32_t done = 0;
  if (input.midiIn != nullptr) {
    const Controls controls = input.currentControls();
    LV2_ATOM_SEQUENCE_FOREACH(input.midiIn, event) {
      const std::uint32_t frame = Input::frameOf(event, done, n);
      // Events on one frame share a render call, unless so many come that
      // the next chord might not fit into the command queue.
      if (frame > done || commandRoom(plugin.core) < kChordCommands) {
        render(plugin.core, plugin.left + done, plugin.right + done,
               static_cast<std::int32_t>(frame - done));
      }
      done = frame;
      const auto message = input.message(event);
      if (message.empty()) continue;
      const PadKeys::Action action = input.keys.read(message, controls, input.bpm);
      if (action.kind == PadKeys::Kind::play) plugin.play(action.press);
      if (action.kind == PadKeys::Kind::release) releaseAll(plugin.core);
    }
  }
  render(plugin.core, plugin.left + done, plugin.right + done, static_cast<std::int32_t>(n - done));
}

void cleanupInstrument(LV2_Handle handle) { delete static_cast<Instrument*>(handle); }

// ---- "Quimbel Chords": the chord generator ----

struct ChordGenerator {
  Input input;
  LV2_Atom_Sequence* midiOut = nullptr;
  LV2_Atom_Forge forge{};
  std::int64_t clock = 0;  // frames since activation: strum notes may wait past a block

  struct Note {
    std::int64_t frame = 0;
    std::uint8_t note = 0;
  };
  // The sounding chord: the notes already sent, and those a strum still
  // holds back (in time order).
  std::array<std::uint8_t, kMaxChordNotes> started{};
  std::size_t startedCount = 0;
  std::array<Note, kMaxChordNotes> waiting{};
  std::size_t waitingFirst = 0, waitingCount = 0;
  std::uint8_t channel = 0;
  std::uint8_t velocity = 0;

  void write(std::uint32_t frame, const std::uint8_t* message, std::uint32_t size) {
    // A full output buffer drops the event; the forge refuses without writing.
    if (lv2_atom_forge_frame_time(&forge, frame) == 0) return;
    if (lv2_atom_forge_atom(&forge, size, input.midiEvent) == 0) return;
    lv2_atom_forge_write(&forge, message, size);
  }

  // Sends the waiting notes due before `end` (or at it, when `including`),
  // a frame of this block counted from its start.
  void sendDue(std::uint32_t end, bool including) {
    while (waitingFirst < waitingCount) {
      const Note& due = waiting[waitingFirst];
      const std::int64_t at = due.frame - clock;
      if (including ? at > end : at >= end) break;
      const std::uint8_t on[3] = {static_cast<std::uint8_t>(LV2_MIDI_MSG_NOTE_ON | channel),
                                  due.note, velocity};
      write(static_cast<std::uint32_t>(std::max<std::int64_t>(at, 0)), on, 3);
      started[startedCount++] = due.note;
      ++waitingFirst;
    }
  }

  // The sounding chord ends: its sent notes stop, its waiting ones never start.
  void end(std::uint32_t frame) {
    for (std::size_t i = 0; i < startedCount; ++i) {
      const std::uint8_t off[3] = {static_cast<std::uint8_t>(LV2_MIDI_MSG_NOTE_OFF | channel),
                                   started[i], 0};
      write(frame, off, 3);
    }
    startedCount = 0;
    waitingFirst = waitingCount = 0;
  }

  void play(const PadPress& press, std::uint32_t frame) {
    end(frame);
    channel = static_cast<std::uint8_t>(press.channel);
    velocity = static_cast<std::uint8_t>(press.velocity);
    for (std::size_t j = 0; j < press.notes.count; ++j) {
      waiting[j] = {clock + frame + delayFrames(press.offsets[j], input.rate),
                    static_cast<std::uint8_t>(press.notes.notes[j])};
    }
    waitingCount = press.notes.count;
    sendDue(frame, true);
  }
};

LV2_Handle instantiateChords(const LV2_Descriptor*, double rate, const char*,
                             const LV2_Feature* const* features) {
  try {
    auto plugin = std::make_unique<ChordGenerator>();
    if (!plugin->input.start(rate, features)) return nullptr;
    lv2_atom_forge_init(&plugin->forge, plugin->input.map);
    return plugin.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void connectChords(LV2_Handle handle, std::uint32_t port, void* data) {
  auto& plugin = *static_cast<ChordGenerator*>(handle);
  if (plugin.input.connect(port, data)) return;
  if (port == MidiOut) plugin.midiOut = static_cast<LV2_Atom_Sequence*>(data);
}

void activateChords(LV2_Handle handle) {
  auto& plugin = *static_cast<ChordGenerator*>(handle);
  plugin.input.keys.reset();
  plugin.clock = 0;
  plugin.startedCount = plugin.waitingFirst = plugin.waitingCount = 0;
}

void runChords(LV2_Handle handle, std::uint32_t n) {
  auto& plugin = *static_cast<ChordGenerator*>(handle);
  if (plugin.midiOut == nullptr) return;
  Input& input = plugin.input;
  const std::uint32_t capacity = plugin.midiOut->atom.size;
  lv2_atom_forge_set_buffer(&plugin.forge, reinterpret_cast<std::uint8_t*>(plugin.midiOut),
                            capacity);
  LV2_Atom_Forge_Frame sequence;
  lv2_atom_forge_sequence_head(&plugin.forge, &sequence, 0);

  std::uint32_t done = 0;
  if (input.midiIn != nullptr) {
    const Controls controls = input.currentControls();
    LV2_ATOM_SEQUENCE_FOREACH(input.midiIn, event) {
      const std::uint32_t frame = Input::frameOf(event, done, n);
      done = frame;
      plugin.sendDue(frame, false);
      const auto message = input.message(event);
      if (message.empty()) continue;
      const PadKeys::Action action = input.keys.read(message, controls, input.bpm);
      switch (action.kind) {
        case PadKeys::Kind::play:
          plugin.play(action.press, frame);
          break;
        case PadKeys::Kind::release:
          plugin.end(frame);
          // All-notes-off and all-sound-off go on to the synthesiser too.
          if ((message[0] & 0xF0) == LV2_MIDI_MSG_CONTROLLER)
            plugin.write(frame, message.data(), static_cast<std::uint32_t>(message.size()));
          break;
        case PadKeys::Kind::other:
          plugin.write(frame, message.data(), static_cast<std::uint32_t>(message.size()));
          break;
        case PadKeys::Kind::ignored:
          break;
      }
    }
  }
  plugin.sendDue(n, false);
  plugin.clock += n;
  lv2_atom_forge_pop(&plugin.forge, &sequence);
}

void cleanupChords(LV2_Handle handle) { delete static_cast<ChordGenerator*>(handle); }

const void* noExtensions(const char*) { return nullptr; }

const LV2_Descriptor kDescriptors[] = {
    {kInstrumentUri, instantiateInstrument, connectInstrument, activateInstrument, runInstrument,
     nullptr, cleanupInstrument, noExtensions},
    {kChordsUri, instantiateChords, connectChords, activateChords, runChords, nullptr,
     cleanupChords, noExtensions},
};

}  // namespace
}  // namespace quimbel::plugin

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
  return index < std::size(quimbel::plugin::kDescriptors) ? &quimbel::plugin::kDescriptors[index]
                                                          : nullptr;
}
