// `quimbel chords`: the seven pad chords of a key, built as the instrument
// builds a press with the given modifiers held.

#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "music/chords.h"
#include "music/voicing.h"

namespace quimbel::cli {

namespace {

const char kChordsUsage[] =
    "usage: quimbel chords [--key NAME] [--knob K] [--sevenths] [--ninths] [--strum]\n"
    "                      [--no-bass] [--bpm B] [--json]\n"
    "  --key NAME   a letter A to G, an optional # or b, an optional m for minor\n"
    "               (C, C#m, Bb, Ebm; default C#m)\n"
    "  --knob K     voicing knob, -5 to 5 (default -3)\n"
    "  --sevenths   chords with sevenths\n"
    "  --ninths     chords with ninths\n"
    "  --strum      strum the chords\n"
    "  --no-bass    leave out the bass note\n"
    "  --bpm B      tempo for the strum, 60 to 200 (default 120)\n"
    "  --json       print one JSON array instead of a table\n";

struct Options {
  Chords::Key key{1, Chords::Mode::minor};
  int knob = -3;
  bool sevenths = false;
  bool ninths = false;
  bool strum = false;
  bool bass = true;
  int bpm = 120;
  bool json = false;
};

struct PadChord {
  int pad;
  std::string name;
  Voicing voicing;
};

std::optional<int> parseInt(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  if (!text.empty() && text.front() == '+') return std::nullopt;
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// Shortest text that reads back to the same double.
std::string formatDouble(double value) {
  char buffer[32];
  auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, ptr) : std::string("0");
}

// Characters as the terminal shows them: UTF-8 continuation bytes take no column.
std::size_t displayWidth(std::string_view text) {
  std::size_t width = 0;
  for (char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return width;
}

std::string noteText(int note, bool flats) {
  // MIDI 60 is C4.
  int octave = (note >= 0 ? note / 12 : (note - 11) / 12) - 1;
  return std::string(Chords::noteName(note, flats)) + std::to_string(octave);
}

// Returns the exit status when parsing ends the command (help or an error).
std::optional<int> parseOptions(Args args, Options& options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::optional<std::string_view> inlineValue;
    if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      inlineValue = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    auto value = [&]() -> std::optional<std::string_view> {
      if (inlineValue) return inlineValue;
      if (i + 1 < args.size()) return args[++i];
      return std::nullopt;
    };
    auto flag = [&](bool& target) -> std::optional<int> {
      if (inlineValue) return usageError(arg, "takes no value");
      target = true;
      return std::nullopt;
    };
    std::optional<int> status;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kChordsUsage, stdout);
      return 0;
    } else if (arg == "--key") {
      auto text = value();
      if (!text) return usageError(arg, "needs a key name such as C#m");
      auto key = Chords::keyFromName(*text);
      if (!key) {
        return usageError(arg, "'" + std::string(*text) +
                                   "' is not a key (a letter A to G, optional # or b, optional m)");
      }
      options.key = *key;
    } else if (arg == "--knob") {
      auto text = value();
      auto knob = text ? parseInt(*text) : std::nullopt;
      if (!knob || *knob < -5 || *knob > 5)
        return usageError(arg, "must be a whole number from -5 to 5");
      options.knob = *knob;
    } else if (arg == "--bpm") {
      auto text = value();
      auto bpm = text ? parseInt(*text) : std::nullopt;
      if (!bpm || *bpm < 60 || *bpm > 200)
        return usageError(arg, "must be a whole number from 60 to 200");
      options.bpm = *bpm;
    } else if (arg == "--sevenths") {
      status = flag(options.sevenths);
    } else if (arg == "--ninths") {
      status = flag(options.ninths);
    } else if (arg == "--strum") {
      status = flag(options.strum);
    } else if (arg == "--json") {
      status = flag(options.json);
    } else if (arg == "--no-bass") {
      bool noBass = false;
      status = flag(noBass);
      options.bass = !noBass;
    } else if (arg.starts_with("-")) {
      return usageError(arg, "unknown option (see quimbel chords --help)");
    } else {
      return usageError(arg, "unexpected argument (see quimbel chords --help)");
    }
    if (status) return status;
  }
  return std::nullopt;
}

// A press: the sounding notes with the bass, the plain or strummed voicing,
// and the name of the chord as the screen shows it, without the bass.
PadChord buildPad(int pad, const Options& o) {
  const int inversion = o.knob + 2;
  std::vector<int> notes = chordNotes(pad, o.key, inversion, o.sevenths, o.ninths, o.bass);
  std::vector<int> shown = chordNotes(pad, o.key, inversion, o.sevenths, o.ninths, false);
  Voicing voicing = o.strum ? strumVoicing(notes, o.bpm) : plainVoicing(notes);
  return {pad, Chords::chordName(pad, o.key, shown), std::move(voicing)};
}

void printJson(const std::vector<PadChord>& chords) {
  std::string out = "[";
  for (const PadChord& c : chords) {
    if (out.size() > 1) out += ",";
    out += "{\"pad\":" + std::to_string(c.pad) + ",\"name\":" + jsonString(c.name) + ",\"notes\":[";
    for (std::size_t i = 0; i < c.voicing.notes.size(); ++i) {
      out += (i ? "," : "") + std::to_string(c.voicing.notes[i]);
    }
    out += "],\"offsets\":[";
    for (std::size_t i = 0; i < c.voicing.offsets.size(); ++i) {
      out += (i ? "," : "") + formatDouble(c.voicing.offsets[i]);
    }
    out += "]}";
  }
  out += "]\n";
  std::fputs(out.c_str(), stdout);
}

void printTable(const std::vector<PadChord>& chords, const Options& o) {
  const bool flats = Chords::usesFlats(o.key);
  std::printf("%s, knob %d%s%s%s%s\n", Chords::keyName(o.key).c_str(), o.knob,
              o.bass ? ", bass" : "", o.sevenths ? ", sevenths" : "", o.ninths ? ", ninths" : "",
              o.strum ? (", strum at " + std::to_string(o.bpm) + " bpm").c_str() : "");
  std::printf("pad  chord  notes\n");
  for (const PadChord& c : chords) {
    std::string line = std::string(Chords::padLabel(c.pad)) + "    " + c.name;
    line.append(c.name.size() < 7 ? 7 - displayWidth(c.name) : 1, ' ');
    for (std::size_t i = 0; i < c.voicing.notes.size(); ++i) {
      if (i) line += ' ';
      line += noteText(c.voicing.notes[i], flats);
      if (o.strum)
        line += "@" + std::to_string(static_cast<int>(c.voicing.offsets[i] * 1000 + 0.5)) + "ms";
    }
    std::printf("%s\n", line.c_str());
  }
}

}  // namespace

int runChords(Args args) {
  Options options;
  if (auto status = parseOptions(args, options)) return *status;
  std::vector<PadChord> chords;
  for (int pad = 0; pad < Chords::kPlayablePads; ++pad) chords.push_back(buildPad(pad, options));
  if (options.json) {
    printJson(chords);
  } else {
    printTable(chords, options);
  }
  if (std::fflush(stdout) != 0) return 1;
  return 0;
}

}  // namespace quimbel::cli
