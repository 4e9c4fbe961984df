#pragma once

// The take document of `quimbel render`: a recorded take described as JSON,
// read with every member checked, so that a bad document is refused with the
// JSON path of the offending value rather than half-rendered.

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "music/key.h"

namespace quimbel::cli {

struct TakeDocument {
  struct Hit {
    int pad = 0;
    double t = 0.0;
    double hold = 0.2;
    bool seventh = false;
    bool ninth = false;
    bool strum = false;
    std::optional<int> velocity;  // present: a MIDI note; absent: a key or mouse press
  };

  Chords::Key key{1, Chords::Mode::minor};
  int bpm = 120;
  int knob = -3;
  bool bass = true;
  double volume = 0.8;
  bool quantize = true;
  double length = 0.0;  // the latest hit's t when the document gives none
  std::vector<Hit> hits;
};

// What is wrong and where: `where` is the JSON path ("hits[3].pad"), empty for
// the document as a whole.
struct DocumentError {
  std::string where;
  std::string what;
};

std::variant<TakeDocument, DocumentError> parseTakeDocument(std::string_view json);

// Reads and parses a file; an unreadable file is an error of the document.
std::variant<TakeDocument, DocumentError> readTakeDocument(const std::string& path);

}  // namespace quimbel::cli
