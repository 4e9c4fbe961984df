#include "audio/libjack_server.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace quimbel {

namespace {

void ignoreMessage(const char*) {}

const char* kPortNames[2] = {"out_left", "out_right"};

std::vector<std::string> takeNames(const char** names) {
  std::vector<std::string> out;
  for (std::size_t i = 0; names && names[i]; ++i) out.emplace_back(names[i]);
  if (names) jack_free(names);
  return out;
}

}  // namespace

struct LibJackServer::Callbacks {
  static int process(jack_nframes_t frames, void* self) {
    static_cast<LibJackServer*>(self)->events_->process(frames);
    return 0;
  }
  static int rate(jack_nframes_t rate, void* self) {
    auto* server = static_cast<LibJackServer*>(self);
    server->rate_.store(rate);
    server->events_->formatChanged(rate, server->period_.load());
    return 0;
  }
  static int period(jack_nframes_t frames, void* self) {
    auto* server = static_cast<LibJackServer*>(self);
    server->period_.store(frames);
    server->events_->formatChanged(server->rate_.load(), frames);
    return 0;
  }
  static void shutdown(jack_status_t, const char*, void* self) {
    static_cast<LibJackServer*>(self)->events_->serverGone();
  }
};

LibJackServer::LibJackServer() {
  jack_set_error_function(ignoreMessage);
  jack_set_info_function(ignoreMessage);
}

LibJackServer::~LibJackServer() { close(); }

std::string LibJackServer::open(JackEvents& events) {
  close();
  jack_status_t status{};
  jack_client_t* client = jack_client_open("Quimbel", JackNoStartServer, &status);
  if (!client) {
    if (status & JackServerFailed) return "no JACK server is running";
    char text[64];
    std::snprintf(text, sizeof text, "the JACK server refused the client (status 0x%x)",
                  static_cast<unsigned>(status));
    return text;
  }
  for (int port : {kLeft, kRight}) {
    ports_[port] = jack_port_register(client, kPortNames[port], JACK_DEFAULT_AUDIO_TYPE,
                                      JackPortIsOutput | JackPortIsTerminal, 0);
    if (!ports_[port]) {
      jack_client_close(client);
      ports_[kLeft] = ports_[kRight] = nullptr;
      return "the JACK server refused the output ports";
    }
  }
  midiIn_ = jack_port_register(client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  midiOut_ = jack_port_register(client, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  client_ = client;
  events_ = &events;
  rate_.store(jack_get_sample_rate(client));
  period_.store(jack_get_buffer_size(client));
  jack_set_process_callback(client, &Callbacks::process, this);
  jack_set_sample_rate_callback(client, &Callbacks::rate, this);
  jack_set_buffer_size_callback(client, &Callbacks::period, this);
  // The informed variant: libjack calls the plain one only when the server
  // says goodbye, not when it is killed.
  jack_on_info_shutdown(client, &Callbacks::shutdown, this);
  return {};
}

void LibJackServer::close() {
  if (!client_) return;
  jack_client_close(client_);
  client_ = nullptr;
  ports_[kLeft] = ports_[kRight] = nullptr;
  midiIn_ = midiOut_ = nullptr;
  events_ = nullptr;
}

std::string LibJackServer::name() const {
  const char* named = std::getenv("JACK_DEFAULT_SERVER");
  return named && named[0] ? named : "default";
}

double LibJackServer::rate() const { return client_ ? rate_.load() : 0.0; }

std::uint32_t LibJackServer::periodFrames() const { return client_ ? period_.load() : 0; }

std::uint32_t LibJackServer::playbackLatencyFrames() const {
  if (!client_) return 0;
  jack_latency_range_t range{};
  jack_port_get_latency_range(ports_[kLeft], JackPlaybackLatency, &range);
  return range.max;
}

bool LibJackServer::activate() { return client_ && jack_activate(client_) == 0; }

void LibJackServer::deactivate() {
  if (client_) jack_deactivate(client_);
}

void LibJackServer::awaitPeriods(const std::function<bool()>& settled, double timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double, std::milli>(timeoutMs));
  while (!settled() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void LibJackServer::buffers(std::uint32_t frames, float** left, float** right) noexcept {
  *left = static_cast<float*>(jack_port_get_buffer(ports_[kLeft], frames));
  *right = static_cast<float*>(jack_port_get_buffer(ports_[kRight], frames));
}

void LibJackServer::writeMidi(std::uint32_t frames, const JackMidiEvent* events,
                              int count) noexcept {
  if (!midiOut_) return;
  void* buffer = jack_port_get_buffer(midiOut_, frames);
  jack_midi_clear_buffer(buffer);
  for (int i = 0; i < count; ++i)
    jack_midi_event_write(buffer, events[i].offset, events[i].bytes, events[i].size);
}

int LibJackServer::readMidi(std::uint32_t frames, JackMidiEvent* events, int max) noexcept {
  if (!midiIn_) return 0;
  void* buffer = jack_port_get_buffer(midiIn_, frames);
  const std::uint32_t count = jack_midi_get_event_count(buffer);
  int kept = 0;
  for (std::uint32_t i = 0; i < count && kept < max; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0 || event.size < 1 || event.size > 3) continue;
    JackMidiEvent& out = events[kept++];
    out.offset = event.time;
    out.size = static_cast<std::uint8_t>(event.size);
    for (std::size_t b = 0; b < event.size; ++b) out.bytes[b] = event.buffer[b];
  }
  return kept;
}

std::vector<std::string> LibJackServer::physicalPlaybackPorts() {
  if (!client_) return {};
  return takeNames(jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                  JackPortIsPhysical | JackPortIsInput));
}

std::vector<std::string> LibJackServer::connections(int port) {
  if (!client_) return {};
  return takeNames(jack_port_get_all_connections(client_, ports_[port]));
}

bool LibJackServer::connect(int port, const std::string& destination) {
  return client_ && jack_connect(client_, jack_port_name(ports_[port]), destination.c_str()) == 0;
}

}  // namespace quimbel
