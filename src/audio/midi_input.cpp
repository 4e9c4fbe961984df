#include "audio/midi_input.h"

#include <alsa/asoundlib.h>
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

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
    int status = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK);
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
    wake_ = eventfd(0, EFD_CLOEXEC);
    if (wake_ >= 0) thread_ = std::thread([this] { receiveLoop(); });
    return 0;
  }

  std::vector<std::uint32_t> sources() override {
    std::vector<std::uint32_t> found;
    if (!seq_) return found;
    const std::lock_guard lock(handleLock_);
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
        found.push_back(ref);
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

 private:
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
        if (handlers_.setupChanged) handlers_.setupChanged();
        break;
      default:
        break;
    }
  }

  snd_seq_t* seq_ = nullptr;
  int client_ = -1;
  int port_ = -1;
  int wake_ = -1;
  Handlers handlers_;
  std::mutex handleLock_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<MidiSequencer> makeAlsaSequencer() { return std::make_unique<AlsaSequencer>(); }

MIDIInput::MIDIInput(MainThread& mainThread, std::unique_ptr<MidiSequencer> sequencer)
    : onNote([](int, int, int) {}),
      onNoteOff([](int) {}),
      onSources([](int) {}),
      mainThread_(mainThread),
      sequencer_(sequencer ? std::move(sequencer) : makeAlsaSequencer()),
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
  connected_ = std::move(found);
  if (onSources) onSources(static_cast<int>(connected_.size()));
}

void MIDIInput::receive(std::span<const std::uint32_t> words) {
  if (words.size() > MaxWordsPerPacket) words = words.first(MaxWordsPerPacket);
  for (std::uint32_t word : words) {
    if ((word >> 28) != UmpChannelVoice) continue;
    std::uint32_t status = (word >> 16) & 0xF0;
    int note = static_cast<int>((word >> 8) & 0x7F);
    int velocity = static_cast<int>(word & 0x7F);
    if (status == 0x90 && velocity > 0) {
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

void MIDIInput::sourcesChanged() {
  mainThread_.post([] {
    if (MIDIInput* input = current()) input->refreshSources();
  });
}

}  // namespace quimbel
