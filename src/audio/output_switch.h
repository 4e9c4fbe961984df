#pragma once

// The device layer the program plays through: it sends each new stream to
// the output the user chose (the system's default device, a named device,
// or JACK) and, when that output is missing, to the default device. The
// engine host needs nothing else: a choice takes effect at its next start(),
// and a lost output ends the stream, whose rebuild lands on the fallback.
//
// Thread contract: main thread only; the streams are the chosen backend's.

#include <memory>
#include <string_view>
#include <vector>

#include "audio/audio_backend.h"
#include "audio/jack_backend.h"
#include "audio/output_choice.h"
#include "base/main_thread.h"

namespace quimbel {

class OutputSwitch final : public AudioBackend {
 public:
  // Both backends must outlive the switch.
  OutputSwitch(JackBackend& jack, DeviceBackend& devices);

  // Takes the stored audio/output, audio/lowLatency and audio/jackAutoConnect.
  void load(const SettingsStore& settings);
  // Takes and stores a new choice; the next start() of the engine host
  // plays through it.
  void choose(std::string_view stored, SettingsStore& settings);
  void setLowLatency(bool on, SettingsStore& settings);

  const OutputChoice& choice() const { return choice_; }
  bool lowLatency() const { return lowLatency_; }
  // Where the latest stream was sent.
  OutputChoice::Route route() const { return route_; }
  JackBackend& jack() { return jack_; }

  // What answers now (JACK is asked, the devices listed) and the menu made
  // from it.
  OutputChoice::Offer offer();
  std::vector<OutputChoice::Item> menu();
  // While fallen back: true when the chosen output may answer again, so that
  // a restart of the engine host would take it back. Cheap when it does not.
  bool returnDue();

  double deviceRate() override;
  std::unique_ptr<AudioStream> makeStream(RenderCore* core, double rate,
                                          EndedHandler onEnded) override;

 private:
  JackBackend& jack_;
  DeviceBackend& devices_;
  OutputChoice choice_;
  bool lowLatency_ = false;
  OutputChoice::Route route_ = OutputChoice::Route::automatic;
  int jackLossesSeen_ = 0;
};

}  // namespace quimbel
