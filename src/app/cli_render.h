#pragma once

// The working parts of `quimbel render`: the take a document records, the
// take printed as events, and a finished file moved to where the user asked.

#include <filesystem>
#include <optional>
#include <string>

#include "app/take_document.h"
#include "export/written.h"
#include "model/take.h"

namespace quimbel::cli {

// Plays the document into a fresh pad model: its settings as a user would set
// them, each hit built as a press with the hit's modifiers held, placed at its
// time with its hold, then the recording stopped (quantized or not). Absent
// when there are no hits: such a recording ends without a take.
std::optional<Take> recordTake(const TakeDocument& doc);

// The finished take as one line of JSON: every number reads back as the same
// double, a hit without a sounding length has "length": null.
std::string eventsJson(const Take& take);

// Copies `made` beside `destination` and moves it into place; on failure
// nothing is left at the destination and an existing file there is untouched.
Written placeFile(const std::filesystem::path& made, const std::filesystem::path& destination);

}  // namespace quimbel::cli
