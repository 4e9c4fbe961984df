#include "audio/output_switch.h"

#include "base/setting_text.h"

namespace quimbel {

OutputSwitch::OutputSwitch(JackBackend& jack, DeviceBackend& devices)
    : jack_(jack), devices_(devices) {}

void OutputSwitch::load(const SettingsStore& settings) {
  choice_.choose(settings.value(OutputSetting::output).value_or(""));
  lowLatency_ = storedBool(settings, OutputSetting::lowLatency).value_or(false);
  devices_.setLowLatency(lowLatency_);
  jack_.setAutoConnect(storedBool(settings, OutputSetting::jackAutoConnect).value_or(true));
}

void OutputSwitch::choose(std::string_view stored, SettingsStore& settings) {
  choice_.choose(stored);
  settings.setValue(OutputSetting::output, choice_.chosen());
}

void OutputSwitch::setLowLatency(bool on, SettingsStore& settings) {
  lowLatency_ = on;
  devices_.setLowLatency(on);
  settings.setValue(OutputSetting::lowLatency, settingText(on));
}

OutputChoice::Offer OutputSwitch::offer() {
  return OutputChoice::Offer{jack_.available(), devices_.outputDevices()};
}

std::vector<OutputChoice::Item> OutputSwitch::menu() { return choice_.menu(offer()); }

bool OutputSwitch::returnDue() {
  if (!choice_.fallenBack()) return false;
  switch (choice_.chosenRoute()) {
    case OutputChoice::Route::jack:
      return jack_.available();
    case OutputChoice::Route::device:
      return devices_.devicesChanged();
    case OutputChoice::Route::automatic:
      break;
  }
  return false;
}

double OutputSwitch::deviceRate() {
  // Only what the choice needs is asked: a look at JACK costs a client.
  OutputChoice::Offer offer;
  if (choice_.chosenRoute() == OutputChoice::Route::jack) offer.jack = jack_.available(true);
  // PortAudio keeps a JACK client of its own, dead with the server: its next
  // look starts afresh, so that no dead client outlives a server's restart.
  if (jack_.serverLosses() != jackLossesSeen_) {
    jackLossesSeen_ = jack_.serverLosses();
    devices_.forgetDevices();
  }
  if (choice_.chosenRoute() == OutputChoice::Route::device)
    offer.devices = devices_.outputDevices();
  route_ = choice_.resolve(offer);
  // Off JACK, the program's ports leave the server's graph.
  if (route_ != OutputChoice::Route::jack) jack_.release();
  devices_.useDevice(route_ == OutputChoice::Route::device ? choice_.chosen() : std::string());
  return route_ == OutputChoice::Route::jack ? jack_.deviceRate() : devices_.deviceRate();
}

std::unique_ptr<AudioStream> OutputSwitch::makeStream(RenderCore* core, double rate,
                                                      EndedHandler onEnded) {
  if (route_ == OutputChoice::Route::jack) return jack_.makeStream(core, rate, std::move(onEnded));
  return devices_.makeStream(core, rate, std::move(onEnded));
}

}  // namespace quimbel
