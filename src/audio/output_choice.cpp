#include "audio/output_choice.h"

#include <algorithm>

#include "diagnostics/report.h"

namespace quimbel {

namespace {

bool blank(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
}

bool offered(const OutputChoice::Offer& offer, const std::string& device) {
  return std::find(offer.devices.begin(), offer.devices.end(), device) != offer.devices.end();
}

std::string nameOf(OutputChoice::Route route, const std::string& device) {
  return route == OutputChoice::Route::jack ? std::string("JACK") : "\"" + device + "\"";
}

}  // namespace

OutputChoice::OutputChoice(std::string_view stored) { choose(stored); }

void OutputChoice::choose(std::string_view stored) {
  chosen_ = blank(stored) ? std::string(OutputSetting::automatic) : std::string(stored);
  fallenBack_ = false;
}

OutputChoice::Route OutputChoice::chosenRoute() const {
  if (chosen_ == OutputSetting::automatic) return Route::automatic;
  if (chosen_ == OutputSetting::jack) return Route::jack;
  return Route::device;
}

OutputChoice::Route OutputChoice::resolve(const Offer& offer) {
  const Route wanted = chosenRoute();
  const bool answers = wanted == Route::automatic || (wanted == Route::jack && offer.jack) ||
                       (wanted == Route::device && offered(offer, chosen_));
  if (answers) {
    if (fallenBack_) diagnostics::logLine("[audio] back on " + nameOf(wanted, chosen_));
    fallenBack_ = false;
    return wanted;
  }
  if (!fallenBack_) {
    diagnostics::logLine(wanted == Route::jack
                             ? std::string("[audio] JACK isn't running: playing through Automatic")
                             : "[audio] no output device " + nameOf(wanted, chosen_) +
                                   ": playing through Automatic");
  }
  fallenBack_ = true;
  return Route::automatic;
}

std::vector<OutputChoice::Item> OutputChoice::menu(const Offer& offer) const {
  const Route wanted = chosenRoute();
  std::vector<Item> items;
  items.push_back({"Automatic", std::string(OutputSetting::automatic), wanted == Route::automatic});
  if (offer.jack || wanted == Route::jack) {
    items.push_back({offer.jack ? "JACK" : "JACK (not running)", std::string(OutputSetting::jack),
                     wanted == Route::jack});
  }
  for (const std::string& device : offer.devices)
    items.push_back({device, device, wanted == Route::device && device == chosen_});
  if (wanted == Route::device && !offered(offer, chosen_))
    items.push_back({chosen_ + " (not connected)", chosen_, true});
  return items;
}

}  // namespace quimbel
