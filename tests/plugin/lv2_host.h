#pragma once

// A small LV2 host on liblilv, as a DAW is one: it loads quimbel.lv2 from the
// build tree (or from $QUIMBEL_LV2_BUNDLE), maps URIDs, keeps what plugins
// log, hands a plugin MIDI and tempo in atom sequences at the frames asked
// for, and keeps what comes out. Everything run() touches is made before it.

#include <lilv/lilv.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/time/time.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quimbel::testing {

class Lv2Host {
 public:
  Lv2Host() : world_(lilv_world_new()) {
    const char* installed = std::getenv("QUIMBEL_LV2_BUNDLE");
    const std::string bundle = installed != nullptr ? installed : QUIMBEL_LV2_BUNDLE_DIR;
    LilvNode* uri = lilv_new_file_uri(world_, nullptr, (bundle + "/").c_str());
    lilv_world_load_bundle(world_, uri);
    lilv_node_free(uri);
  }
  ~Lv2Host() { lilv_world_free(world_); }

  const LilvPlugin* plugin(const char* uri) const {
    LilvNode* node = lilv_new_uri(world_, uri);
    const LilvPlugin* found = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), node);
    lilv_node_free(node);
    return found;
  }
  bool is(const LilvPlugin* plugin, const LilvPort* port, const char* type) const {
    LilvNode* node = lilv_new_uri(world_, type);
    const bool yes = lilv_port_is_a(plugin, port, node);
    lilv_node_free(node);
    return yes;
  }
  LV2_URID map(const char* uri) { return ids_.emplace(uri, ids_.size() + 1).first->second; }

  LV2_URID_Map mapFeature{this, [](LV2_URID_Map_Handle self, const char* uri) {
                            return static_cast<Lv2Host*>(self)->map(uri);
                          }};
  std::vector<std::string> logged;

 private:
  static int logVprintf(LV2_Log_Handle self, LV2_URID, const char* format, va_list args) {
    char line[1024];
    const int written = std::vsnprintf(line, sizeof line, format, args);
    static_cast<Lv2Host*>(self)->logged.emplace_back(line);
    return written;
  }
  static int logPrintf(LV2_Log_Handle self, LV2_URID type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = logVprintf(self, type, format, args);
    va_end(args);
    return written;
  }

  LilvWorld* world_;
  std::map<std::string, LV2_URID> ids_;
  LV2_Log_Log log_{this, logPrintf, logVprintf};
  LV2_Feature mapFeature_{LV2_URID__map, &mapFeature}, logFeature_{LV2_LOG__log, &log_};

 public:
  const LV2_Feature* const features[3] = {&mapFeature_, &logFeature_, nullptr};
};

// A MIDI message, or with no bytes a tempo change, at a frame (of a take, or
// of a block).
struct Event {
  std::int64_t frame = 0;
  std::vector<std::uint8_t> bytes;
  float bpm = 0.0f;
};
inline Event noteOn(std::int64_t frame, int note, int velocity = 100, int channel = 0) {
  return {frame, {std::uint8_t(0x90 | channel), std::uint8_t(note), std::uint8_t(velocity)}};
}
inline Event noteOff(std::int64_t frame, int note, int channel = 0) {
  return {frame, {std::uint8_t(0x80 | channel), std::uint8_t(note), 0}};
}
inline Event tempo(std::int64_t frame, float bpm) { return {frame, {}, bpm}; }
inline Event message(std::int64_t frame, std::vector<std::uint8_t> bytes) { return {frame, bytes}; }

class PluginRun {
 public:
  static constexpr std::uint32_t kMaxBlock = 4096, kAtomBytes = 1 << 16;

  // Instantiates, connects every port (controls at their defaults) and
  // activates; ok() tells whether the plugin started.
  PluginRun(Lv2Host& host, const char* uri, double rate) : host_(host) {
    const LilvPlugin* plugin = host.plugin(uri);
    instance_ = plugin != nullptr ? lilv_plugin_instantiate(plugin, rate, host.features) : nullptr;
    if (instance_ == nullptr) return;
    const std::uint32_t ports = lilv_plugin_get_num_ports(plugin);
    controls_.resize(ports);
    lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, controls_.data());
    for (std::uint32_t i = 0; i < ports; ++i) {
      const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
      symbols_[lilv_node_as_string(lilv_port_get_symbol(plugin, port))] = i;
      void* data = &controls_[i];
      if (host.is(plugin, port, LV2_CORE__AudioPort)) {
        data = audio_.emplace_back(kMaxBlock).data();
      } else if (host.is(plugin, port, LV2_ATOM__AtomPort)) {
        auto& buffer = host.is(plugin, port, LV2_CORE__OutputPort) ? midiOut_ : midiIn_;
        data = (buffer = std::make_unique<Atoms>()).get();
      }
      lilv_instance_connect_port(instance_, i, data);
    }
    lv2_atom_forge_init(&forge_, &host.mapFeature);
    lilv_instance_activate(instance_);
  }
  ~PluginRun() {
    if (instance_ == nullptr) return;
    lilv_instance_deactivate(instance_);
    lilv_instance_free(instance_);
  }

  bool ok() const { return instance_ != nullptr; }
  std::int64_t frame() const { return frame_; }
  void set(const std::string& symbol, float value) { controls_.at(symbols_.at(symbol)) = value; }

  // Writes the next block's input; frames count from the block's start.
  void feed(const std::vector<Event>& events) {
    lv2_atom_forge_set_buffer(&forge_, midiIn_->bytes, kAtomBytes);
    lv2_atom_forge_sequence_head(&forge_, &sequence_, 0);
    for (const Event& e : events) {
      lv2_atom_forge_frame_time(&forge_, e.frame);
      if (e.bytes.empty()) {
        lv2_atom_forge_object(&forge_, &object_, 0, host_.map(LV2_TIME__Position));
        lv2_atom_forge_key(&forge_, host_.map(LV2_TIME__beatsPerMinute));
        lv2_atom_forge_float(&forge_, e.bpm);
        lv2_atom_forge_pop(&forge_, &object_);
      } else {
        lv2_atom_forge_atom(&forge_, std::uint32_t(e.bytes.size()), midiEvent_);
        lv2_atom_forge_write(&forge_, e.bytes.data(), std::uint32_t(e.bytes.size()));
      }
    }
    lv2_atom_forge_pop(&forge_, &sequence_);
  }

  // Runs one block on the fed input, allocating nothing.
  void runBlock(std::uint32_t n) {
    if (midiOut_) midiOut_->atom = {kAtomBytes - std::uint32_t(sizeof(LV2_Atom)), chunk_};
    lilv_instance_run(instance_, n);
  }

  // Runs one block and keeps its output: audio appended to left and right,
  // MIDI to `out` with frames of the whole run.
  void run(std::uint32_t n, const std::vector<Event>& events = {}) {
    feed(events);
    runBlock(n);
    for (std::size_t c = 0; c < audio_.size(); ++c)
      (c == 0 ? left : right)
          .insert((c == 0 ? left : right).end(), audio_[c].begin(), audio_[c].begin() + n);
    if (midiOut_) {
      LV2_ATOM_SEQUENCE_FOREACH(&midiOut_->sequence, ev) {
        const auto* bytes = static_cast<const std::uint8_t*>(LV2_ATOM_BODY_CONST(&ev->body));
        out.push_back({frame_ + ev->time.frames, {bytes, bytes + ev->body.size}});
      }
    }
    frame_ += n;
  }

  // Plays a take (events at frames of the run, in order) in blocks of
  // `block` frames until the run is `frames` long.
  void play(const std::vector<Event>& take, std::int64_t frames, std::uint32_t block) {
    auto next = take.begin();
    while (frame_ < frames) {
      const auto n = std::uint32_t(std::min<std::int64_t>(block, frames - frame_));
      std::vector<Event> events;
      for (; next != take.end() && next->frame < frame_ + n; ++next)
        events.push_back({next->frame - frame_, next->bytes, next->bpm});
      run(n, events);
    }
  }

  std::vector<float> left, right;
  std::vector<Event> out;

 private:
  union Atoms {
    LV2_Atom atom;
    LV2_Atom_Sequence sequence;
    std::uint8_t bytes[kAtomBytes];
  };

  Lv2Host& host_;
  LilvInstance* instance_ = nullptr;
  std::vector<float> controls_;
  std::vector<std::vector<float>> audio_;
  std::unique_ptr<Atoms> midiIn_, midiOut_;
  std::map<std::string, std::uint32_t> symbols_;
  LV2_Atom_Forge forge_{};
  LV2_Atom_Forge_Frame sequence_{}, object_{};  // the forge keeps pointers to them
  LV2_URID midiEvent_ = host_.map(LV2_MIDI__MidiEvent), chunk_ = host_.map(LV2_ATOM__Chunk);
  std::int64_t frame_ = 0;
};

}  // namespace quimbel::testing
