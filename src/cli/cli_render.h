#pragma once

// The working parts of `quimbel render`: the take a document records, the
// take printed as events, and a finished file moved to where the user asked.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "cli/take_document.h"
#include "files/written.h"
#include "music/take.h"

namespace quimbel::cli {

// A take document played into a pad model of its own: the document's
// settings set as a user would set them, each hit built as a press with the
// hit's modifiers held and placed at its time with its hold, then the
// recording stopped (quantized or not). The model runs on virtual time with
// settings in memory and a device that never plays, so nothing sounds and
// the user's settings are never touched.
class RecordedTake {
 public:
  explicit RecordedTake(const TakeDocument& doc);
  ~RecordedTake();
  RecordedTake(const RecordedTake&) = delete;
  RecordedTake& operator=(const RecordedTake&) = delete;

  // The finished take; absent when the document has no hits, since such a
  // recording ends without a take.
  std::optional<Take> take() const;
  // The take's video through the model's own video export, in a scratch
  // folder of its own. Needs a QGuiApplication.
  Written video();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

// RecordedTake(doc).take().
std::optional<Take> recordTake(const TakeDocument& doc);

// The finished take as one line of JSON: every number reads back as the same
// double, a hit without a sounding length has "length": null.
std::string eventsJson(const Take& take);

// Copies `made` beside `destination` and moves it into place; on failure
// nothing is left at the destination and an existing file there is untouched.
Written placeFile(const std::filesystem::path& made, const std::filesystem::path& destination);

}  // namespace quimbel::cli
