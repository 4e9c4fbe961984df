#include "cli/take_document.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace quimbel::cli {

namespace {

using nlohmann::json;

// Thrown inside the parser only; parseTakeDocument turns it into a result.
struct Refusal {
  DocumentError error;
};

[[noreturn]] void refuse(std::string where, std::string what) {
  throw Refusal{{std::move(where), std::move(what)}};
}

std::string join(const std::string& path, const std::string& member) {
  return path.empty() ? member : path + "." + member;
}

const json* member(const json& object, const char* name) {
  auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

int wholeNumber(const json& value, const std::string& where, int low, int high) {
  std::string range =
      "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high);
  if (!value.is_number()) refuse(where, range);
  double x = value.get<double>();
  if (!std::isfinite(x) || x != std::floor(x) || x < low || x > high) refuse(where, range);
  return static_cast<int>(x);
}

// Times, holds and lengths. Ten minutes bound them: a take is a loop of a few
// bars; a far-off time would make exports too long to hold in memory, and at
// absurd values adding whole bars to the length would never get past it.
constexpr double kLongestSeconds = 600.0;

double nonNegativeTime(const json& value, const std::string& where) {
  const char* rule = "must be a number of seconds from 0 to 600";
  if (!value.is_number()) refuse(where, rule);
  double x = value.get<double>();
  if (!std::isfinite(x) || x < 0 || x > kLongestSeconds) refuse(where, rule);
  return x;
}

bool flag(const json& value, const std::string& where) {
  if (!value.is_boolean()) refuse(where, "must be true or false");
  return value.get<bool>();
}

Chords::Key readKey(const json& value) {
  if (!value.is_object()) refuse("key", "must be an object with \"tonic\" and \"mode\"");
  Chords::Key key{1, Chords::Mode::minor};
  if (const json* tonic = member(value, "tonic"))
    key.tonic = wholeNumber(*tonic, "key.tonic", 0, 11);
  if (const json* mode = member(value, "mode")) {
    if (mode->is_string() && mode->get<std::string>() == "major") {
      key.mode = Chords::Mode::major;
    } else if (mode->is_string() && mode->get<std::string>() == "minor") {
      key.mode = Chords::Mode::minor;
    } else {
      refuse("key.mode", "must be \"major\" or \"minor\"");
    }
  }
  return key;
}

TakeDocument::Hit readHit(const json& value, const std::string& path) {
  if (!value.is_object()) refuse(path, "must be an object");
  TakeDocument::Hit hit;
  const json* pad = member(value, "pad");
  if (!pad) refuse(join(path, "pad"), "is required");
  hit.pad = wholeNumber(*pad, join(path, "pad"), 0, 6);
  const json* t = member(value, "t");
  if (!t) refuse(join(path, "t"), "is required");
  hit.t = nonNegativeTime(*t, join(path, "t"));
  if (const json* hold = member(value, "hold"))
    hit.hold = nonNegativeTime(*hold, join(path, "hold"));
  if (const json* v = member(value, "seventh")) hit.seventh = flag(*v, join(path, "seventh"));
  if (const json* v = member(value, "ninth")) hit.ninth = flag(*v, join(path, "ninth"));
  if (const json* v = member(value, "strum")) hit.strum = flag(*v, join(path, "strum"));
  if (const json* v = member(value, "velocity"); v && !v->is_null())
    hit.velocity = wholeNumber(*v, join(path, "velocity"), 0, 127);
  return hit;
}

TakeDocument readDocument(const json& root) {
  if (!root.is_object()) refuse("", "must be a JSON object with \"hits\"");
  TakeDocument doc;
  if (const json* key = member(root, "key")) doc.key = readKey(*key);
  if (const json* bpm = member(root, "bpm")) doc.bpm = wholeNumber(*bpm, "bpm", 60, 200);
  if (const json* knob = member(root, "knob")) doc.knob = wholeNumber(*knob, "knob", -5, 5);
  if (const json* bass = member(root, "bass")) doc.bass = flag(*bass, "bass");
  if (const json* volume = member(root, "volume")) {
    const char* rule = "must be a number from 0 to 1";
    if (!volume->is_number()) refuse("volume", rule);
    double v = volume->get<double>();
    if (!std::isfinite(v) || v < 0 || v > 1) refuse("volume", rule);
    doc.volume = v;
  }
  if (const json* quantize = member(root, "quantize")) doc.quantize = flag(*quantize, "quantize");

  const json* hits = member(root, "hits");
  if (!hits) refuse("hits", "is required");
  if (!hits->is_array()) refuse("hits", "must be an array");
  for (std::size_t i = 0; i < hits->size(); ++i)
    doc.hits.push_back(readHit((*hits)[i], "hits[" + std::to_string(i) + "]"));

  const json* length = member(root, "length");
  if (length && !length->is_null()) {
    doc.length = nonNegativeTime(*length, "length");
  } else {
    for (const auto& hit : doc.hits) doc.length = std::max(doc.length, hit.t);
  }
  return doc;
}

}  // namespace

std::variant<TakeDocument, DocumentError> parseTakeDocument(std::string_view text) {
  json root;
  try {
    root = json::parse(text.begin(), text.end());
  } catch (const json::exception& e) {
    // Syntax errors, and numbers too large for a double. The library's
    // message carries the line and column; drop its "[json.exception…] ".
    std::string what = e.what();
    if (auto tag = what.find("] ");
        !what.empty() && what.front() == '[' && tag != std::string::npos)
      what = what.substr(tag + 2);
    return DocumentError{"", "not valid JSON: " + what};
  }
  try {
    return readDocument(root);
  } catch (const Refusal& refusal) {
    return refusal.error;
  }
}

std::variant<TakeDocument, DocumentError> readTakeDocument(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return DocumentError{"", std::string("cannot read: ") + std::strerror(errno)};
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return DocumentError{"", "cannot read"};
  return parseTakeDocument(text.str());
}

}  // namespace quimbel::cli
