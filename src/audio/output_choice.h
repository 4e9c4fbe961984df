#pragma once

// The user's choice of sound output and what becomes of it. The choice is
// stored under audio/output as "automatic" (the system's default device,
// which a desktop routes to its sound server), "jack" (the JACK server, or
// PipeWire's JACK side) or an output device's name. A chosen output that is
// missing falls back to Automatic: one log line when it happens, and the
// menu's item says why; it goes back (and says so) once the output answers.
//
// Plain logic, main thread only: the caller says what answers.

#include <string>
#include <string_view>
#include <vector>

namespace quimbel {

namespace OutputSetting {
inline constexpr std::string_view output = "audio/output";
inline constexpr std::string_view lowLatency = "audio/lowLatency";
// "false" leaves the JACK outputs unconnected, for users who route by hand.
inline constexpr std::string_view jackAutoConnect = "audio/jackAutoConnect";
inline constexpr std::string_view automatic = "automatic";
inline constexpr std::string_view jack = "jack";
}  // namespace OutputSetting

class OutputChoice {
 public:
  enum class Route { automatic, jack, device };

  // What answers now.
  struct Offer {
    bool jack = false;
    std::vector<std::string> devices;
  };

  // One entry of the "Sound output" menu: what it says and what choosing it
  // stores.
  struct Item {
    std::string label;
    std::string value;
    bool checked = false;
  };

  // A stored value; an empty or blank one stands for "automatic".
  explicit OutputChoice(std::string_view stored = OutputSetting::automatic);

  // A new choice; whatever fell back before is forgotten.
  void choose(std::string_view stored);
  const std::string& chosen() const { return chosen_; }
  Route chosenRoute() const;

  // Where the sound goes given the offer: the chosen output when it answers,
  // else Automatic.
  Route resolve(const Offer& offer);
  bool fallenBack() const { return fallenBack_; }

  // Automatic, JACK (when it answers or is chosen), then every device, and
  // a chosen one that is missing. The chosen entry is checked; when it does
  // not answer, its label says so: "JACK (not running)".
  std::vector<Item> menu(const Offer& offer) const;

 private:
  std::string chosen_;
  bool fallenBack_ = false;
};

}  // namespace quimbel
