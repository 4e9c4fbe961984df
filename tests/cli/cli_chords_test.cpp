#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/run_program.h"
#include "music/voicing.h"

namespace quimbel::testing {
namespace {

nlohmann::json chordsJson(std::vector<std::string> args) {
  args.insert(args.begin(), "chords");
  args.push_back("--json");
  const Outcome run = runQuimbel(args);
  EXPECT_EQ(run.status, 0) << run.err;
  const auto chords = nlohmann::json::parse(run.out, nullptr, false);
  EXPECT_TRUE(chords.is_array() && chords.size() == 7) << run.out;
  return chords;
}

TEST(CliChordsTest, KeyKnobBassAndSeventhsShapeTheChordsAndEveryPadIsNamed) {
  const struct {
    std::vector<std::string> args;
    const char* name;
    std::vector<int> notes;  // of the tonic chord
  } cases[] = {
      {{}, "C#m", {37, 44, 49, 52}},
      {{"--key", "C", "--knob", "0"}, "C", {36, 55, 60, 64}},
      {{"--key", "C", "--knob=-5", "--no-bass"}, "C", {40, 43, 48}},
      // Bass C2, then C major seventh turned once down: the seventh B2 stands first.
      {{"--key", "C", "--sevenths"}, "CM7", {36, 47, 48, 52, 55}},
  };
  nlohmann::json chords;
  for (const auto& c : cases) {
    chords = chordsJson(c.args);
    EXPECT_EQ(chords[0]["name"], c.name);
    EXPECT_EQ(chords[0]["notes"], c.notes);
    EXPECT_EQ(chords[0]["offsets"], std::vector<double>(c.notes.size(), 0.0));
  }
  // The last, C major with sevenths, names every pad.
  const char* names[] = {"CM7", "Dm7", "Em7", "FM7", "G7", "Am7", "B\u00f8"};
  for (int pad = 0; pad < 7; ++pad)
    EXPECT_EQ(std::tuple(chords[pad]["pad"], chords[pad]["name"]), std::tuple(pad, names[pad]));
}

TEST(CliChordsTest, StrumOffsetsReadBackExactly) {
  for (const auto& chord : chordsJson({"--key", "C", "--strum", "--bpm", "90", "--ninths"})) {
    const Voicing strum = strumVoicing(chord["notes"].get<std::vector<int>>(), 90);
    EXPECT_EQ(chord["notes"], strum.notes) << "strummed notes sound from the bottom up";
    EXPECT_EQ(chord["offsets"].get<std::vector<double>>(), strum.offsets);
  }
}

TEST(CliChordsTest, BadOptionsExitTwoWithOneLine) {
  for (const char* args : {"--knob 6", "--knob", "--bpm 59", "--bpm 1.5", "--key H", "--bogus",
                           "stray", "--sevenths=1"}) {
    std::vector<std::string> argv = {"chords"};
    std::istringstream words(args);
    for (std::string word; words >> word;) argv.push_back(word);
    const Outcome run = runQuimbel(argv);
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_TRUE(run.out.empty()) << args;
    EXPECT_EQ(run.err.rfind("quimbel: ", 0), 0u) << args << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << args << ": " << run.err;
  }
  const Outcome help = runQuimbel({"chords", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--key"), std::string::npos);
}

}  // namespace
}  // namespace quimbel::testing
