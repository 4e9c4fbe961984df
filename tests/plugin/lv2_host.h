#pragma once

// A small LV2 host on liblilv, as a DAW is one: it loads quimbel.lv2 from the
// build tree (or from $QUIMBEL_LV2_BUNDLE), maps URIDs, keeps what the
// plugins log, hands a plugin MIDI in atom sequences at the frames asked
// for, and keeps what comes out. Everything run() touches is made before it.

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quimbel::testing {

inline std::string bundleFolder() {
  const char* installed = std::getenv("QUIMBEL_LV2_BUNDLE");
  return installed != nullptr && *installed != '\0' ? installed : QUIMBEL_LV2_BUNDLE_DIR;
}

class Lv2Host {
 public:
  explicit Lv2Host(const std::string& bundle = bundleFolder()) : world_(lilv_world_new()) {
    LilvNode* uri = lilv_new_file_uri(world_, nullptr, (bundle + "/").c_str());
    lilv_world_load_bundle(world_, uri);
    lilv_node_free(uri);
    map_.handle = this;
    map_.map = [](LV2_URID_Map_Handle self, const char* name) {
      auto& ids = static_cast<Lv2Host*>(self)->ids_;
      return ids.emplace(name, static_cast<LV2_URID>(ids.size() + 1)).first->second;
    };
    log_.handle = this;
    log_.printf = &Lv2Host::logPrintf;
    log_.vprintf = &Lv2Host::logVprintf;
  }
  ~Lv2Host() { lilv_world_free(world_); }
  Lv2Host(const Lv2Host&) = delete;
  Lv2Host& operator=(const Lv2Host&) = delete;

  const LilvPlugin* plugin(const char* uri) const {
    LilvNode* node = lilv_new_uri(world_, uri);
    const LilvPlugin* found = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), node);
    lilv_node_free(node);
    return found;
  }
  LilvWorld* world() const { return world_; }
  LV2_URID map(const char* uri) { return map_.map(this, uri); }
  LV2_URID_Map* mapFeature() { return &map_; }
  const LV2_Feature* const* features() { return features_; }

  std::vector<std::string> logged;

 private:
  static int logPrintf(LV2_Log_Handle self, LV2_URID type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = logVprintf(self, type, format, args);
    va_end(args);
    return written;
  }
  static int logVprintf(LV2_Log_Handle self, LV2_URID, const char* format, va_list args) {
    char line[1024];
    const int written = std::vsnprintf(line, sizeof line, format, args);
    static_cast<Lv2Host*>(self)->logged.emplace_back(line);
    return written;
  }

  LilvWorld* world_;
  std::map<std::string, LV2_URID> ids_;
  LV2_URID_Map map_{};
  LV2_Log_Log log_{};
  LV2_Feature mapFeature_{LV2_URID__map, &map_};
  LV2_Feature logFeature_{LV2_LOG__log, &log_};
  const LV2_Feature* features_[3] = {&mapFeature_, &logFeature_, nullptr};
};

// One MIDI message or tempo change at a frame (of the take, or of a block).
struct Event {
  std::int64_t frame = 0;
  std::vector<std::uint8_t> bytes;  // a MIDI message; empty for a tempo change
  float bpm = 0.0f;
};

inline Event noteOn(std::int64_t frame, int note, int velocity = 100, int channel = 0) {
  return {frame, {std::uint8_t(0x90 | channel), std::uint8_t(note), std::uint8_t(velocity)}, 0};
}
inline Event noteOff(std::int64_t frame, int note, int channel = 0) {
  return {frame, {std::uint8_t(0x80 | channel), std::uint8_t(note), 0}, 0};
}
inline Event tempo(std::int64_t frame, float bpm) { return {frame, {}, bpm}; }

class PluginRun {
 public:
  static constexpr std::uint32_t kMaxBlock = 4096;
  static constexpr std::uint32_t kAtomBytes = 1 << 16;

  PluginRun(Lv2Host& host, const char* uri, double rate) : host_(host), rate_(rate) {
    const LilvPlugin* plugin = host.plugin(uri);
    if (plugin == nullptr) return;
    instance_ = lilv_plugin_instantiate(plugin, rate, host.features());
    if (instance_ == nullptr) return;
    const std::uint32_t ports = lilv_plugin_get_num_ports(plugin);
    controls_.assign(ports, 0.0f);
    lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, controls_.data());
    audio_.assign(ports, std::vector<float>(kMaxBlock));
    LilvNode* audioClass = lilv_new_uri(host.world(), LV2_CORE__AudioPort);
    LilvNode* atomClass = lilv_new_uri(host.world(), LV2_ATOM__AtomPort);
    LilvNode* outputClass = lilv_new_uri(host.world(), LV2_CORE__OutputPort);
    for (std::uint32_t i = 0; i < ports; ++i) {
      const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
      symbols_[lilv_node_as_string(lilv_port_get_symbol(plugin, port))] = i;
      void* data = &controls_[i];
      if (lilv_port_is_a(plugin, port, audioClass)) {
        data = audio_[i].data();
        audioOut_.push_back(i);
      } else if (lilv_port_is_a(plugin, port, atomClass)) {
        const bool output = lilv_port_is_a(plugin, port, outputClass);
        (output ? midiOut_ : midiIn_) = std::make_unique<AtomBuffer>();
        data = (output ? midiOut_ : midiIn_).get();
      }
      lilv_instance_connect_port(instance_, i, data);
    }
    lilv_node_free(audioClass);
    lilv_node_free(atomClass);
    lilv_node_free(outputClass);
    startForge();
    lilv_instance_activate(instance_);
  }
  ~PluginRun() {
    if (instance_ == nullptr) return;
    lilv_instance_deactivate(instance_);
    lilv_instance_free(instance_);
  }
  PluginRun(const PluginRun&) = delete;
  PluginRun& operator=(const PluginRun&) = delete;

  bool ok() const { return instance_ != nullptr; }
  double rate() const { return rate_; }
  void set(const std::string& symbol, float value) { controls_.at(symbols_.at(symbol)) = value; }
  float control(const std::string& symbol) const { return controls_.at(symbols_.at(symbol)); }

  // Writes the block's input; frames are counted from the block's start.
  void feed(const std::vector<Event>& events) {
    lv2_atom_forge_set_buffer(&forge_, reinterpret_cast<std::uint8_t*>(midiIn_.get()), kAtomBytes);
    lv2_atom_forge_sequence_head(&forge_, &sequence_, 0);
    for (const Event& e : events) {
      lv2_atom_forge_frame_time(&forge_, e.frame);
      if (!e.bytes.empty()) {
        lv2_atom_forge_atom(&forge_, static_cast<std::uint32_t>(e.bytes.size()), midiEvent_);
        lv2_atom_forge_write(&forge_, e.bytes.data(), static_cast<std::uint32_t>(e.bytes.size()));
      } else {
        lv2_atom_forge_object(&forge_, &object_, 0, host_.map(LV2_TIME__Position));
        lv2_atom_forge_key(&forge_, host_.map(LV2_TIME__beatsPerMinute));
        lv2_atom_forge_float(&forge_, e.bpm);
        lv2_atom_forge_pop(&forge_, &object_);
      }
    }
    lv2_atom_forge_pop(&forge_, &sequence_);
  }

  // Runs one block whose input feed() wrote; no allocation between the
  // output's reset and the plugin's return.
  void runBlock(std::uint32_t n) {
    if (midiOut_) {
      midiOut_->atom.size = kAtomBytes - sizeof(LV2_Atom);
      midiOut_->atom.type = chunk_;
    }
    lilv_instance_run(instance_, n);
  }

  // Runs one block and keeps its output: audio appended to left and right,
  // MIDI to `out` with frames of the whole run.
  void run(std::uint32_t n, const std::vector<Event>& events = {}) {
    feed(events);
    runBlock(n);
    if (audioOut_.size() == 2) {
      left.insert(left.end(), audio_[audioOut_[0]].begin(), audio_[audioOut_[0]].begin() + n);
      right.insert(right.end(), audio_[audioOut_[1]].begin(), audio_[audioOut_[1]].begin() + n);
    }
    if (midiOut_) {
      LV2_ATOM_SEQUENCE_FOREACH(&midiOut_->sequence, ev) {
        const auto* bytes = static_cast<const std::uint8_t*>(LV2_ATOM_BODY_CONST(&ev->body));
        if (ev->body.type == midiEvent_)
          out.push_back({frame_ + ev->time.frames, {bytes, bytes + ev->body.size}, 0});
      }
    }
    frame_ += n;
  }

  // Plays a take (events at frames of the take, in order) in blocks of
  // `block` frames until `frames` have been made.
  void play(const std::vector<Event>& take, std::int64_t frames, std::uint32_t block) {
    auto next = take.begin();
    while (frame_ < frames) {
      const auto n = static_cast<std::uint32_t>(std::min<std::int64_t>(block, frames - frame_));
      std::vector<Event> events;
      for (; next != take.end() && next->frame < frame_ + n; ++next) {
        events.push_back(*next);
        events.back().frame -= frame_;
      }
      run(n, events);
    }
  }

  std::vector<float> left, right;
  std::vector<Event> out;

 private:
  union AtomBuffer {
    LV2_Atom atom;
    LV2_Atom_Sequence sequence;
    std::uint8_t bytes[kAtomBytes];
  };
  void startForge() {
    lv2_atom_forge_init(&forge_, host_.mapFeature());
    midiEvent_ = host_.map(LV2_MIDI__MidiEvent);
    chunk_ = host_.map(LV2_ATOM__Chunk);
  }

  Lv2Host& host_;
  double rate_;
  LilvInstance* instance_ = nullptr;
  std::vector<float> controls_;
  std::vector<std::vector<float>> audio_;
  std::vector<std::uint32_t> audioOut_;
  std::unique_ptr<AtomBuffer> midiIn_, midiOut_;
  std::map<std::string, std::uint32_t> symbols_;
  LV2_Atom_Forge forge_{};
  LV2_Atom_Forge_Frame sequence_{}, object_{};  // the forge keeps pointers to them
  LV2_URID midiEvent_ = 0, chunk_ = 0;
  std::int64_t frame_ = 0;
};

}  // namespace quimbel::testing
