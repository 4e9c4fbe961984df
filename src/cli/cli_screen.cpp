// `quimbel screen`: composes one screen snapshot read from JSON and prints the
// cells, optionally writing the picture as the panel draws it.

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "files/written.h"
#include "look/palette.h"
#include "music/chords.h"
#include "screen/compose.h"
#include "screen/input.h"

namespace quimbel::cli {

namespace {

using nlohmann::json;

constexpr int kMaxScale = 100;

// A problem in the snapshot document: where (a JSON path) and what.
struct Problem {
  std::string where;
  std::string what;
};

// Reads the snapshot, stopping at the first problem.
class SnapshotReader {
 public:
  std::optional<ChordScreen::Input> read(const json& doc) {
    if (!doc.is_object()) return fail("(document)", "must be a JSON object");
    ChordScreen::Input input;
    if (const json* key = member(doc, "key")) {
      if (!key->is_object()) return fail("key", "must be an object with tonic and mode");
      const json* tonic = member(*key, "tonic");
      const json* mode = member(*key, "mode");
      if (tonic == nullptr) return fail("key.tonic", "is missing");
      if (!integerIn(*tonic, 0, 11, input.key.tonic)) return fail("key.tonic", "must be 0 to 11");
      if (mode == nullptr) return fail("key.mode", "is missing");
      const auto parsed =
          mode->is_string() ? Chords::modeFromName(mode->get<std::string>()) : std::nullopt;
      if (!parsed) return fail("key.mode", "must be \"major\" or \"minor\"");
      input.key.mode = *parsed;
    }
    if (const json* shown = member(doc, "shown"); shown && !shown->is_null()) {
      input.shown = readShown(*shown, "shown");
      if (!input.shown) return std::nullopt;
    }
    if (const json* state = member(doc, "state")) {
      const std::string text = state->is_string() ? state->get<std::string>() : "";
      if (text == "ready") {
        input.state = PadState::ready;
      } else if (text == "count") {
        input.state = PadState::count;
      } else if (text == "rec") {
        input.state = PadState::rec;
      } else if (text == "done") {
        input.state = PadState::done;
      } else {
        return fail("state", "must be \"ready\", \"count\", \"rec\" or \"done\"");
      }
    }
    if (const json* countN = member(doc, "countN")) {
      if (!integerIn(*countN, INT_MIN, INT_MAX, input.countN)) {
        return fail("countN", "must be a whole number");
      }
    }
    if (const json* recAt = member(doc, "recAt")) {
      if (!recAt->is_number()) return fail("recAt", "must be a number of milliseconds");
      input.recAt = recAt->get<double>();
    }
    if (const json* knob = member(doc, "knob"); knob && !knob->is_null()) {
      int value = 0;
      if (!integerIn(*knob, -5, 5, value)) return fail("knob", "must be -5 to 5 or null");
      input.knob = value;
    }
    if (const json* volume = member(doc, "volume"); volume && !volume->is_null()) {
      if (!volume->is_number()) return fail("volume", "must be a number or null");
      input.volume = volume->get<double>();
    }
    if (const json* sheet = member(doc, "sheet")) {
      if (!sheet->is_array()) return fail("sheet", "must be a list of shown chords");
      for (std::size_t i = 0; i < sheet->size(); ++i) {
        auto entry = readShown((*sheet)[i], "sheet[" + std::to_string(i) + "]");
        if (!entry) return std::nullopt;
        input.sheet.push_back(std::move(*entry));
      }
    }
    if (const json* legend = member(doc, "legend"); legend && !legend->is_null()) {
      if (!legend->is_object()) return fail("legend", "must be an object or null");
      ChordScreen::Legend flags;
      const std::pair<const char*, bool*> fields[] = {
          {"seventh", &flags.seventh}, {"ninth", &flags.ninth}, {"strum", &flags.strum}};
      for (auto [name, flag] : fields) {
        const json* value = member(*legend, name);
        if (value == nullptr || !value->is_boolean()) {
          return fail(std::string("legend.") + name, "must be true or false");
        }
        *flag = value->get<bool>();
      }
      input.legend = flags;
    }
    return input;
  }

  const Problem& problem() const { return problem_; }

 private:
  static const json* member(const json& object, const char* name) {
    auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
  }

  static bool integerIn(const json& value, long long low, long long high, int& out) {
    if (!value.is_number_integer()) return false;
    const long long number =
        value.is_number_unsigned()
            ? static_cast<long long>(std::min<std::uint64_t>(value.get<std::uint64_t>(), INT64_MAX))
            : value.get<long long>();
    if (number < low || number > high) return false;
    out = static_cast<int>(number);
    return true;
  }

  static std::optional<std::uint32_t> parseColor(const json& value) {
    if (!value.is_string()) return std::nullopt;
    const std::string text = value.get<std::string>();
    if (text.size() != 7 || text[0] != '#') return std::nullopt;
    std::uint32_t color = 0;
    for (char c : text.substr(1)) {
      int digit = 0;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return std::nullopt;
      }
      color = color << 4 | static_cast<std::uint32_t>(digit);
    }
    return color;
  }

  std::optional<ChordScreen::Shown> readShown(const json& value, const std::string& where) {
    if (!value.is_object()) return fail(where, "must be an object with notes, name and color");
    ChordScreen::Shown shown;
    const json* notes = member(value, "notes");
    if (notes == nullptr || !notes->is_array()) return fail(where + ".notes", "must be a list");
    for (std::size_t i = 0; i < notes->size(); ++i) {
      int note = 0;
      if (!integerIn((*notes)[i], 0, 127, note)) {
        return fail(where + ".notes[" + std::to_string(i) + "]", "must be a MIDI note, 0 to 127");
      }
      shown.notes.push_back(note);
    }
    const json* name = member(value, "name");
    if (name == nullptr || !name->is_string()) return fail(where + ".name", "must be a string");
    shown.name = name->get<std::string>();
    const json* color = member(value, "color");
    const auto parsed = color ? parseColor(*color) : std::nullopt;
    if (!parsed) return fail(where + ".color", "must be \"#rrggbb\"");
    shown.color = *parsed;
    return shown;
  }

  std::nullopt_t fail(std::string where, std::string what) {
    problem_ = {std::move(where), std::move(what)};
    return std::nullopt;
  }

  Problem problem_;
};

std::string cellsAsText(const ChordScreen::Cells& cells) {
  std::string text;
  text.reserve(ChordScreen::kCellCount * 7);
  for (int row = 0; row < ChordScreen::kSide; ++row) {
    for (int column = 0; column < ChordScreen::kSide; ++column) {
      if (column > 0) text += ' ';
      const ChordScreen::Cell& cell =
          cells[static_cast<std::size_t>(row * ChordScreen::kSide + column)];
      if (cell) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%06x", *cell & 0xFFFFFFu);
        text += hex;
      } else {
        text += '.';
      }
    }
    text += '\n';
  }
  return text;
}

// The screen as the panel shows it: every cell `scale` pixels on a side whose
// last row and column are the dark grid line; the last line falls outside,
// so the picture is 32 × scale − 1 pixels square.
QByteArray screenPng(const ChordScreen::Cells& cells, int scale) {
  const int side = ChordScreen::kSide * scale - 1;
  QImage image(side, side, QImage::Format_RGB32);
  for (int y = 0; y < side; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < side; ++x) {
      std::uint32_t color = kScreenGapColor;
      if (x % scale != scale - 1 && y % scale != scale - 1) {
        const ChordScreen::Cell& cell =
            cells[static_cast<std::size_t>((y / scale) * ChordScreen::kSide + x / scale)];
        color = cell ? *cell : ChordScreen::kBackground;
      }
      line[x] = 0xFF000000u | (color & 0xFFFFFFu);
    }
  }
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "PNG")) bytes.clear();
  return bytes;
}

const char kScreenUsage[] =
    "usage: quimbel screen SNAPSHOT.json [--now MS] [--png FILE] [--scale N]\n";

}  // namespace

int runScreen(Args args) {
  std::optional<std::string> snapshotFile;
  std::optional<std::string> pngFile;
  double now = 0.0;
  int scale = 10;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--help" || arg == "-h") {
      std::fputs(kScreenUsage, stdout);
      return 0;
    }
    if (arg == "--now" || arg == "--png" || arg == "--scale") {
      if (!hasValue) return usageError(arg, "needs a value");
      const std::string_view value = args[++i];
      const char* end = value.data() + value.size();
      if (arg == "--now") {
        auto [ptr, ec] = std::from_chars(value.data(), end, now);
        if (ec != std::errc() || ptr != end || !std::isfinite(now)) {
          return usageError(arg, "must be a number of milliseconds");
        }
      } else if (arg == "--scale") {
        auto [ptr, ec] = std::from_chars(value.data(), end, scale);
        if (ec != std::errc() || ptr != end || scale < 2 || scale > kMaxScale) {
          return usageError(arg, "must be a whole number from 2 to 100");
        }
      } else {
        pngFile = std::string(value);
      }
    } else if (!arg.empty() && arg.front() == '-' && arg != "-") {
      return usageError(arg, "unknown option (see quimbel screen --help)");
    } else if (snapshotFile) {
      return usageError(arg, "only one snapshot file");
    } else {
      snapshotFile = std::string(arg);
    }
  }
  if (!snapshotFile) return usageError("screen", "needs a SNAPSHOT.json file");

  std::ifstream in(*snapshotFile, std::ios::binary);
  if (!in) return usageError(*snapshotFile, "cannot be read");
  const json doc = json::parse(in, nullptr, false);
  if (doc.is_discarded()) return usageError(*snapshotFile, "is not valid JSON");
  SnapshotReader reader;
  const auto input = reader.read(doc);
  if (!input) {
    return usageError(*snapshotFile, reader.problem().where + ": " + reader.problem().what);
  }

  const ChordScreen::Cells cells = ChordScreen::compose(*input, now);
  if (pngFile) {
    const QByteArray png = screenPng(cells, scale);
    if (png.isEmpty()) {
      std::fprintf(stderr, "quimbel: %s: the picture could not be encoded\n", pngFile->c_str());
      return 1;
    }
    const Written written =
        writeFileAside(*pngFile, std::span(reinterpret_cast<const std::uint8_t*>(png.constData()),
                                           static_cast<std::size_t>(png.size())));
    if (!written) {
      std::fprintf(stderr, "quimbel: %s\n", written.error.c_str());
      return 1;
    }
  }
  std::fputs(cellsAsText(cells).c_str(), stdout);
  return 0;
}

}  // namespace quimbel::cli
