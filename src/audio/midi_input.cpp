#include "audio/midi_input.h"

#include <alsa/asoundlib.h>
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "audio/core/midi_chord_map.h"
#include "audio/portaudio_backend.h"
#include "diagnostics/report.h"

namespace quimbel {

namespace {

// The started input that work posted from the sequencer thread reaches.
// Read and written on the main thread only.
std::weak_ptr<MIDIInput*>& currentInput() {
  static std::weak_ptr<MIDIInput*> current;
  return current;
}

MIDIInput* current() {
  auto locked = currentInput().lock();
  return locked ? *locked : nullptr;
}

constexpr std::uint32_t UmpChannelVoice = 2;

std::uint32_t channelVoiceWord(std::uint32_t status, std::uint32_t channel, std::uint32_t note,
                               std::uint32_t velocity) {
  return (UmpChannelVoice << 28) | ((status | (channel & 0x0F)) << 16) | ((note & 0x7F) << 8) |
         (velocity & 0x7F);
}

// The sequencer handle is not safe to share between threads: the main
// thread (sources, connect) and the receive thread (reading events) each
// take handleLock_ around every call on it, and the receive thread delivers
// a copy of each event with the lock released.
class AlsaSequencer final : public MidiSequencer {
 public:
  ~AlsaSequencer() override {
    if (thread_.joinable()) {
      std::uint64_t one = 1;
      [[maybe_unused]] auto written = write(wake_, &one, sizeof one);
      thread_.join();
    }
    if (wake_ >= 0) close(wake_);
    if (seq_) snd_seq_close(seq_);
  }

  int open(Handlers handlers) override {
    silenceAlsaErrors();
    int status = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (status < 0) {
      seq_ = nullptr;
      return status;
    }
    handlers_ = std::move(handlers);
    snd_seq_set_client_name(seq_, "Quimbel");
    client_ = snd_seq_client_id(seq_);
    port_ = snd_seq_create_simple_port(
        seq_, "Quimbel in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (port_ >= 0) {
      // Clients and ports coming and going are announced here.
      snd_seq_connect_from(seq_, port_, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    }
    outPort_ = snd_seq_create_simple_port(
        seq_, "Quimbel out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    // Chords that sound later (the loop's) wait on a queue of our own.
    queue_ = snd_seq_alloc_named_queue(seq_, "Quimbel");
    if (queue_ >= 0) {
      snd_seq_start_queue(seq_, queue_, nullptr);
      snd_seq_drain_output(seq_);
    }
    wake_ = eventfd(0, EFD_CLOEXEC);
    if (wake_ >= 0) thread_ = std::thread([this] { receiveLoop(); });
    return 0;
  }

  std::vector<std::uint32_t> sources() override {
    std::vector<std::uint32_t> found;
    if (!seq_) return found;
    const std::lock_guard lock(handleLock_);
    const std::set<std::uint32_t> fed = portsFedLocked();
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq_, client) >= 0) {
      int id = snd_seq_client_info_get_client(client);
      // The system client's timer and announcements are no keyboards.
      if (id == client_ || id == SND_SEQ_CLIENT_SYSTEM) continue;
      snd_seq_port_info_set_client(port, id);
      snd_seq_port_info_set_port(port, -1);
      while (snd_seq_query_next_port(seq_, port) >= 0) {
        unsigned caps = snd_seq_port_info_get_capability(port);
        constexpr unsigned readable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
        if ((caps & readable) != readable || (caps & SND_SEQ_PORT_CAP_NO_EXPORT)) continue;
        auto ref = (static_cast<std::uint32_t>(id) << 8) |
                   static_cast<std::uint32_t>(snd_seq_port_info_get_port(port));
        if (!fed.contains(ref)) found.push_back(ref);
      }
    }
    return found;
  }

  void connect(std::uint32_t source) override {
    if (seq_ && port_ >= 0) {
      const std::lock_guard lock(handleLock_);
      snd_seq_connect_from(seq_, port_, static_cast<int>(source >> 8),
                           static_cast<int>(source & 0xFF));
    }
  }

  void disconnect(std::uint32_t source) override {
    if (seq_ && port_ >= 0) {
      const std::lock_guard lock(handleLock_);
      snd_seq_disconnect_from(seq_, port_, static_cast<int>(source >> 8),
                              static_cast<int>(source & 0xFF));
    }
  }

  void send(std::uint8_t status, std::uint8_t data1, std::uint8_t data2,
            double delaySeconds) override {
    if (!seq_ || outPort_ < 0) return;
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    const auto channel = static_cast<unsigned char>(status & 0x0F);
    switch (status & 0xF0) {
      case 0x90:
        snd_seq_ev_set_noteon(&event, channel, data1, data2);
        break;
      case 0x80:
        snd_seq_ev_set_noteoff(&event, channel, data1, data2);
        break;
      case 0xB0:
        snd_seq_ev_set_controller(&event, channel, data1, data2);
        break;
      default:
        return;
    }
    snd_seq_ev_set_source(&event, outPort_);
    snd_seq_ev_set_subs(&event);
    const std::lock_guard lock(handleLock_);
    if (delaySeconds > 0.0 && queue_ >= 0) {
      snd_seq_real_time_t at;
      at.tv_sec = static_cast<unsigned>(delaySeconds);
      at.tv_nsec = static_cast<unsigned>((delaySeconds - at.tv_sec) * 1e9);
      snd_seq_ev_schedule_real(&event, queue_, 1, &at);
    } else {
      snd_seq_ev_set_direct(&event);
    }
    snd_seq_event_output_direct(seq_, &event);
  }

 private:
  // The ports our output is connected to, as source references; the lock
  // is held.
  std::set<std::uint32_t> portsFedLocked() {
    std::set<std::uint32_t> fed;
    if (outPort_ < 0) return fed;
    snd_seq_query_subscribe_t* query;
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_addr_t self{static_cast<unsigned char>(client_), static_cast<unsigned char>(outPort_)};
    snd_seq_query_subscribe_set_root(query, &self);
    snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
    snd_seq_query_subscribe_set_index(query, 0);
    while (snd_seq_query_port_subscribers(seq_, query) >= 0) {
      const snd_seq_addr_t* to = snd_seq_query_subscribe_get_addr(query);
      fed.insert((static_cast<std::uint32_t>(to->client) << 8) | to->port);
      snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
    }
    return fed;
  }

  void receiveLoop() {
    int count = snd_seq_poll_descriptors_count(seq_, POLLIN);
    std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
    snd_seq_poll_descriptors(seq_, fds.data(), static_cast<unsigned>(count), POLLIN);
    fds[static_cast<std::size_t>(count)] = {wake_, POLLIN, 0};
    for (;;) {
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds.back().revents & POLLIN) return;
      for (;;) {
        snd_seq_event_t copy;
        {
          const std::lock_guard lock(handleLock_);
          snd_seq_event_t* event = nullptr;
          if (snd_seq_event_input(seq_, &event) < 0 || event == nullptr) break;
          copy = *event;
        }
        deliver(copy);
      }
    }
  }

  void deliver(const snd_seq_event_t& event) {
    switch (event.type) {
      case SND_SEQ_EVENT_NOTEON:
      case SND_SEQ_EVENT_NOTEOFF: {
        std::uint32_t status = event.type == SND_SEQ_EVENT_NOTEON ? 0x90 : 0x80;
        std::uint32_t word = channelVoiceWord(status, event.data.note.channel, event.data.note.note,
                                              event.data.note.velocity);
        if (handlers_.receive) handlers_.receive(std::span<const std::uint32_t>(&word, 1));
        break;
      }
      case SND_SEQ_EVENT_CLIENT_START:
      case SND_SEQ_EVENT_CLIENT_EXIT:
      case SND_SEQ_EVENT_CLIENT_CHANGE:
      case SND_SEQ_EVENT_PORT_START:
      case SND_SEQ_EVENT_PORT_EXIT:
      case SND_SEQ_EVENT_PORT_CHANGE:
      case SND_SEQ_EVENT_PORT_SUBSCRIBED:
      case SND_SEQ_EVENT_PORT_UNSUBSCRIBED:
        if (handlers_.setupChanged) handlers_.setupChanged();
        break;
      default:
        break;
    }
  }

  snd_seq_t* seq_ = nullptr;
  int client_ = -1;
  int port_ = -1;
  int outPort_ = -1;
  int queue_ = -1;
  int wake_ = -1;
  Handlers handlers_;
  std::mutex handleLock_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<MidiSequencer> makeAlsaSequencer() { return std::make_unique<AlsaSequencer>(); }

EchoGuard::EchoGuard() {
  for (auto& channel : sentAt_)
    for (auto& at : channel) at.store(-1e18, std::memory_order_relaxed);
}

void EchoGuard::sent(int channel, int note, double atMs) {
  sentAt_[channel & 0x0F][note & 0x7F].store(atMs, std::memory_order_relaxed);
}

bool EchoGuard::echoes(int channel, int note, double atMs) const {
  const double sentAt = sentAt_[channel & 0x0F][note & 0x7F].load(std::memory_order_relaxed);
  return atMs >= sentAt - EchoMs && atMs <= sentAt + EchoMs;
}

MIDIInput::MIDIInput(MainThread& mainThread, std::unique_ptr<MidiSequencer> sequencer,
                     const Clock* clock)
    : onNote([](int, int, int) {}),
      onNoteOff([](int) {}),
      onSources([](int) {}),
      mainThread_(mainThread),
      sequencer_(sequencer ? std::move(sequencer) : makeAlsaSequencer()),
      clock_(clock),
      self_(std::make_shared<MIDIInput*>(this)) {}

MIDIInput::~MIDIInput() {
  // The sequencer's thread calls into this object: it must end first.
  sequencer_.reset();
  self_.reset();
}

void MIDIInput::start() {
  currentInput() = self_;
  if (open_) {
    refreshSources();
    return;
  }
  MidiSequencer::Handlers handlers;
  handlers.receive = [this](std::span<const std::uint32_t> words) { receive(words); };
  handlers.setupChanged = [this] { sourcesChanged(); };
  int status = sequencer_->open(std::move(handlers));
  if (status != 0) {
    // Most often a machine without the sequencer's kernel module (containers,
    // some minimal installs), where the device itself is missing.
    const bool missing = status == -ENOENT || status == -ENODEV;
    diagnostics::logLine(std::string("[audio] MIDI keyboards are off: ") +
                         (missing ? "no ALSA sequencer (/dev/snd/seq)"
                                  : "the ALSA sequencer (/dev/snd/seq) did not open: " +
                                        std::string(std::strerror(-status))));
    return;
  }
  open_ = true;
  refreshSources();
}

void MIDIInput::refreshSources() {
  if (!open_) return;
  std::set<std::uint32_t> found;
  for (std::uint32_t source : sequencer_->sources()) {
    if (source != 0) found.insert(source);
  }
  for (std::uint32_t source : found) {
    if (!connected_.contains(source)) sequencer_->connect(source);
  }
  // A source that went away needs nothing; one our output now feeds is let go.
  for (std::uint32_t source : connected_) {
    if (!found.contains(source)) sequencer_->disconnect(source);
  }
  connected_ = std::move(found);
  if (onSources) onSources(static_cast<int>(connected_.size()));
}

void MIDIInput::receive(std::span<const std::uint32_t> words) {
  // The sequencer's thread and the main thread (JACK's midi_in) both
  // deliver; the direct-MIDI path takes one note at a time.
  const std::lock_guard lock(receiveLock_);
  if (words.size() > MaxWordsPerPacket) words = words.first(MaxWordsPerPacket);
  for (std::uint32_t word : words) {
    if ((word >> 28) != UmpChannelVoice) continue;
    std::uint32_t status = (word >> 16) & 0xF0;
    int note = static_cast<int>((word >> 8) & 0x7F);
    int velocity = static_cast<int>(word & 0x7F);
    if (status == 0x90 && velocity > 0) {
      const int channel = static_cast<int>((word >> 16) & 0x0F);
      if (echo_.echoes(channel, note, nowMs())) {
        if (echoesDropped_.fetch_add(1) == 0) {
          diagnostics::consoleLine(
              "MIDI input: a note the program just sent came back and was dropped "
              "(is another program's MIDI thru connected to Quimbel in?)");
        }
        continue;
      }
      int pad = midiNoteOn(static_cast<std::uint32_t>(note), velocity);
      mainThread_.post([note, velocity, pad] {
        if (MIDIInput* input = current(); input && input->onNote) {
          input->onNote(note, velocity, pad);
        }
      });
    } else if (status == 0x80 || status == 0x90) {
      mainThread_.post([note] {
        if (MIDIInput* input = current(); input && input->onNoteOff) input->onNoteOff(note);
      });
    }
  }
}

double MIDIInput::nowMs() const {
  if (clock_ != nullptr) return clock_->nowMs();
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void MIDIInput::send(std::uint8_t status, std::uint8_t note, std::uint8_t value,
                     double delaySeconds) {
  if (!open_) return;
  if ((status & 0xF0) == 0x90) echo_.sent(status & 0x0F, note, nowMs() + delaySeconds * 1000.0);
  sequencer_->send(status, note, value, delaySeconds);
}

void MIDIInput::sourcesChanged() {
  mainThread_.post([] {
    if (MIDIInput* input = current()) input->refreshSources();
  });
}

}  // namespace quimbel
