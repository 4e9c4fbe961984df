#include "audio/jack_backend.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "audio/core/render_core.h"

namespace quimbel {

namespace {

constexpr double kFallbackRate = 48000.0;

enum EndState : int { kIdle, kArmed, kFiring, kFired };
enum Closing : int { kPlaying, kEndAsked, kEndSaid };

}  // namespace

class JackBackend::Stream final : public AudioStream {
 public:
  Stream(JackBackend& owner, RenderCore* core, EndedHandler onEnded)
      : owner_(owner), core_(core), onEnded_(std::move(onEnded)) {}

  ~Stream() override { stop(); }

  std::string start() override {
    if (running_) return {};
    if (owner_.running_) return "another stream plays through JACK";
    if (!owner_.available(/*keepOpen=*/true)) return "no JACK server is running";
    JackServer& server = owner_.server_;
    owner_.disarm();
    owner_.onEnded_ = onEnded_;
    owner_.startedRate_.store(server.rate());
    owner_.startedPeriod_.store(server.periodFrames());
    owner_.core_.store(core_, std::memory_order_release);
    owner_.closing_.store(kPlaying, std::memory_order_release);
    if (!server.activate()) {
      owner_.core_.store(nullptr);
      return "the JACK server did not take the client";
    }
    owner_.running_ = this;
    running_ = true;
    owner_.endState_.store(kArmed);
    connectOutputs();
    // A change that came while activating was not reported to this stream.
    if (server.rate() != owner_.startedRate_.load() ||
        server.periodFrames() != owner_.startedPeriod_.load()) {
      owner_.reportEnd();
    }
    return {};
  }

  void stop() override {
    if (!running_) return;
    owner_.disarm();
    JackServer& server = owner_.server_;
    if (!owner_.gone_.load()) {
      owner_.endNotesBeforeStop();
      // The server drops the connections on deactivation: they are kept here
      // for the next start.
      owner_.remembered_.emplace();
      (*owner_.remembered_)[JackServer::kLeft] = server.connections(JackServer::kLeft);
      (*owner_.remembered_)[JackServer::kRight] = server.connections(JackServer::kRight);
      server.deactivate();
    }
    owner_.core_.store(nullptr);
    owner_.running_ = nullptr;
    running_ = false;
  }

  bool running() const override { return running_ && !owner_.gone_.load(); }

  double latencyMs() const override {
    if (!running()) return 0.0;
    const double rate = owner_.server_.rate();
    return rate > 0.0 ? owner_.server_.playbackLatencyFrames() / rate * 1000.0 : 0.0;
  }

 private:
  void connectOutputs() {
    JackServer& server = owner_.server_;
    if (owner_.remembered_) {
      for (int port : {JackServer::kLeft, JackServer::kRight}) {
        for (const std::string& to : (*owner_.remembered_)[static_cast<std::size_t>(port)])
          server.connect(port, to);
      }
      return;
    }
    if (!owner_.autoConnect_) return;
    const std::vector<std::string> speakers = server.physicalPlaybackPorts();
    if (speakers.empty()) return;
    // A mono card takes both sides.
    server.connect(JackServer::kLeft, speakers[0]);
    server.connect(JackServer::kRight, speakers[speakers.size() > 1 ? 1 : 0]);
  }

  JackBackend& owner_;
  RenderCore* core_;
  EndedHandler onEnded_;
  bool running_ = false;
};

JackBackend::JackBackend(JackServer& server) : server_(server) {}

JackBackend::~JackBackend() { closeClient(); }

bool JackBackend::available(bool keepOpen) {
  if (open_ && gone_.load()) {
    // A stream still running on the dead client is stopped by the engine
    // host once it hears of the end; the client goes after it.
    if (running_) return false;
    closeClient();
    ++serverLosses_;
  }
  if (open_) return true;
  if (!server_.open(*this).empty()) return false;
  open_ = true;
  gone_.store(false);
  if (!keepOpen) closeClient();
  return true;
}

void JackBackend::release() {
  if (!running_) closeClient();
}

void JackBackend::closeClient() {
  if (!open_) return;
  server_.close();
  open_ = false;
  remembered_.reset();
}

std::string JackBackend::describe() {
  const bool wasOpen = open_;
  if (!available(/*keepOpen=*/true)) return {};
  char text[160];
  std::snprintf(text, sizeof text, "%s, %.0f Hz, %u frames", server_.name().c_str(), server_.rate(),
                server_.periodFrames());
  if (!wasOpen) closeClient();
  return text;
}

double JackBackend::deviceRate() {
  if (!available(/*keepOpen=*/true)) return kFallbackRate;
  const double rate = server_.rate();
  return rate > 0.0 ? rate : kFallbackRate;
}

std::unique_ptr<AudioStream> JackBackend::makeStream(RenderCore* core, double /*rate*/,
                                                     EndedHandler onEnded) {
  return std::make_unique<Stream>(*this, core, std::move(onEnded));
}

void JackBackend::process(std::uint32_t frames) noexcept {
  float* left = nullptr;
  float* right = nullptr;
  server_.buffers(frames, &left, &right);
  int midiCount = 0;
  RenderCore* core = core_.load(std::memory_order_acquire);
  if (!left || !right) {
    core = nullptr;
  } else if (core) {
    const std::int64_t periodStart = currentFrame(core);
    render(core, left, right, static_cast<std::int32_t>(frames));
    midiCount = periodMidi(core, periodStart);
  } else {
    std::memset(left, 0, sizeof(float) * frames);
    std::memset(right, 0, sizeof(float) * frames);
  }
  const int closing = closing_.load(std::memory_order_acquire);
  // Once the notes' end was said, no new note may start in other programs.
  if (closing == kEndSaid) midiCount = 0;
  trackSounding(midiCount);
  if (closing == kEndAsked) {
    midiCount = endSounding(midiCount, frames);
    closing_.store(kEndSaid, std::memory_order_release);
  }
  server_.writeMidi(frames, midiOut_, midiCount);
  takeMidiIn(frames);
}

int JackBackend::periodMidi(RenderCore* core, std::int64_t periodStart) noexcept {
  const CoreMidiEvent* events = nullptr;
  const int count = renderedMidi(core, &events);
  // The server wants the period's messages in time order; the core lists
  // them voice by voice. Insertion keeps same-frame messages in their order
  // (a note-off before the same note's next note-on).
  for (int i = 0; i < count; ++i) {
    JackMidiEvent e;
    e.offset = static_cast<std::uint32_t>(events[i].frame - periodStart);
    e.size = 3;
    e.bytes[0] = events[i].status;
    e.bytes[1] = events[i].note;
    e.bytes[2] = events[i].velocity;
    int at = i;
    while (at > 0 && midiOut_[at - 1].offset > e.offset) {
      midiOut_[at] = midiOut_[at - 1];
      --at;
    }
    midiOut_[at] = e;
  }
  return count;
}

void JackBackend::trackSounding(int count) noexcept {
  for (int i = 0; i < count; ++i) {
    const JackMidiEvent& e = midiOut_[i];
    const int channel = e.bytes[0] & 0x0F;
    std::uint8_t& sounding = soundingOut_[channel][e.bytes[1] & 0x7F];
    if ((e.bytes[0] & 0xF0) == 0x90) {
      if (sounding < 255) ++sounding;
      channelsOut_ = static_cast<std::uint16_t>(channelsOut_ | (1u << channel));
    } else if (sounding > 0) {
      --sounding;
    }
  }
}

int JackBackend::endSounding(int count, std::uint32_t frames) noexcept {
  const std::uint32_t last = frames > 0 ? frames - 1 : 0;
  for (int channel = 0; channel < 16; ++channel) {
    if ((channelsOut_ & (1u << channel)) == 0) continue;
    const auto status = [channel](unsigned kind) {
      return static_cast<std::uint8_t>(kind | static_cast<unsigned>(channel));
    };
    for (int note = 0; note < 128; ++note) {
      // Past the room kept for the channels' "all notes off", that message
      // alone ends the rest.
      for (; soundingOut_[channel][note] > 0; --soundingOut_[channel][note]) {
        if (count < kMidiOutRoom - 16)
          midiOut_[count++] = {last, 3, {status(0x80), static_cast<std::uint8_t>(note), 0}};
      }
    }
    midiOut_[count++] = {last, 3, {status(0xB0), 123, 0}};
  }
  channelsOut_ = 0;
  return count;
}

void JackBackend::endNotesBeforeStop() {
  closing_.store(kEndAsked, std::memory_order_release);
  // Three periods, or 50 ms for a server whose periods are short: a server
  // that sends none by then is stalled and has no listener to tell.
  const double rate = server_.rate();
  const double periodMs = rate > 0.0 ? server_.periodFrames() / rate * 1000.0 : 0.0;
  server_.awaitPeriods([this] { return closing_.load(std::memory_order_acquire) == kEndSaid; },
                       std::max(50.0, 3.0 * periodMs));
}

void JackBackend::takeMidiIn(std::uint32_t frames) noexcept {
  JackMidiEvent events[64];
  const int count = server_.readMidi(frames, events, 64);
  for (int i = 0; i < count; ++i) {
    const JackMidiEvent& e = events[i];
    const std::uint32_t status = e.bytes[0] & 0xF0u;
    if (e.size != 3 || (status != 0x80 && status != 0x90)) continue;
    // As a MIDI 1.0 channel-voice word, the form the receive routine reads.
    midiIn_.push((2u << 28) | (std::uint32_t{e.bytes[0]} << 16) |
                 (std::uint32_t{e.bytes[1] & 0x7Fu} << 8) | (e.bytes[2] & 0x7Fu));
  }
}

int JackBackend::receivedMidi(std::uint32_t* words, int max) {
  if (max < 1) return 0;
  return static_cast<int>(midiIn_.popUpTo(words, static_cast<std::size_t>(max)));
}

void JackBackend::formatChanged(double rate, std::uint32_t periodFrames) {
  if (endState_.load() != kArmed) return;
  if (rate != startedRate_.load() || periodFrames != startedPeriod_.load()) reportEnd();
}

void JackBackend::serverGone() {
  gone_.store(true);
  reportEnd();
}

void JackBackend::reportEnd() {
  int armed = kArmed;
  if (!endState_.compare_exchange_strong(armed, kFiring)) return;
  if (onEnded_) onEnded_();
  endState_.store(kFired);
}

void JackBackend::disarm() {
  int state = endState_.load();
  for (;;) {
    if (state == kFiring) {
      // The handler only posts to the main thread: this wait is short.
      std::this_thread::yield();
      state = endState_.load();
    } else if (endState_.compare_exchange_weak(state, kIdle)) {
      return;
    }
  }
}

}  // namespace quimbel
