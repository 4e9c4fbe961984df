#pragma once

// A sequencer for tests: the test sets the sources it offers and its open
// status, sees the connections made and the messages sent, and delivers
// packets through the handlers as the receive thread would. The state is the
// test's and must outlive the input that owns the sequencer.

#include <functional>
#include <vector>

#include "audio/midi_input.h"

namespace quimbel::testing {

struct SequencerState {
  int openStatus = 0;
  std::vector<std::uint32_t> sources, connects, disconnects;
  MidiSequencer::Handlers handlers;
  std::function<void(std::uint8_t status, std::uint8_t note, std::uint8_t value, double delay)>
      sent;
};

class FakeSequencer final : public MidiSequencer {
 public:
  explicit FakeSequencer(SequencerState& state) : state_(state) {}
  int open(Handlers handlers) override {
    if (state_.openStatus == 0) state_.handlers = std::move(handlers);
    return state_.openStatus;
  }
  std::vector<std::uint32_t> sources() override { return state_.sources; }
  void connect(std::uint32_t source) override { state_.connects.push_back(source); }
  void disconnect(std::uint32_t source) override { state_.disconnects.push_back(source); }
  void send(std::uint8_t status, std::uint8_t note, std::uint8_t value, double delay) override {
    if (state_.sent) state_.sent(status, note, value, delay);
  }

 private:
  SequencerState& state_;
};

}  // namespace quimbel::testing
