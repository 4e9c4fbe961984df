#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "music/voicing.h"

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `quimbel chords <args>`; the arguments are trusted test literals.
Outcome runChords(const std::string& args) {
  const std::string errPath = ::testing::TempDir() + "quimbel_chords_stderr.txt";
  std::string command =
      std::string("'") + QUIMBEL_EXE + "' chords " + args + " 2>'" + errPath + "'";
  Outcome run;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> buffer;
  while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
    run.out.append(buffer.data(), n);
  int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  std::ifstream err(errPath);
  std::stringstream text;
  text << err.rdbuf();
  run.err = text.str();
  return run;
}

nlohmann::json runJson(const std::string& args) {
  Outcome run = runChords(args + " --json");
  EXPECT_EQ(run.status, 0) << run.err;
  return nlohmann::json::parse(run.out, nullptr, false);
}

TEST(CliChordsTest, SeventhsInCMajorNameEveryPad) {
  nlohmann::json chords = runJson("--key C --sevenths");
  ASSERT_TRUE(chords.is_array());
  ASSERT_EQ(chords.size(), 7u);
  const char* names[] = {"CM7", "Dm7", "Em7", "FM7", "G7", "Am7", "B\u00f8"};
  for (int pad = 0; pad < 7; ++pad) {
    EXPECT_EQ(chords[pad]["pad"], pad);
    EXPECT_EQ(chords[pad]["name"], names[pad]);
    EXPECT_EQ(chords[pad]["notes"].size(), chords[pad]["offsets"].size());
  }
  // Bass C2, then C major seventh turned once down: the seventh B2 stands first.
  EXPECT_EQ(chords[0]["notes"], (std::vector<int>{36, 47, 48, 52, 55}));
  EXPECT_EQ(chords[6]["notes"], (std::vector<int>{35, 45, 47, 50, 53}));
}

TEST(CliChordsTest, KeyKnobAndBassShapeTheTonicChord) {
  const struct {
    const char* args;
    const char* name;
    std::vector<int> notes;
  } cases[] = {
      {"", "C#m", {37, 44, 49, 52}},
      {"--key C", "C", {36, 43, 48, 52}},
      {"--key C --no-bass", "C", {43, 48, 52}},
      {"--key C --knob 0", "C", {36, 55, 60, 64}},
      {"--key C --knob=-5 --no-bass", "C", {40, 43, 48}},
  };
  for (const auto& c : cases) {
    nlohmann::json chords = runJson(c.args);
    ASSERT_EQ(chords.size(), 7u) << c.args;
    EXPECT_EQ(chords[0]["name"], c.name) << c.args;
    EXPECT_EQ(chords[0]["notes"], c.notes) << c.args;
  }
}

TEST(CliChordsTest, StrumOffsetsReadBackExactly) {
  nlohmann::json chords = runJson("--key C --strum --bpm 90 --ninths");
  ASSERT_EQ(chords.size(), 7u);
  for (const auto& chord : chords) {
    auto notes = chord["notes"].get<std::vector<int>>();
    quimbel::Voicing strum = quimbel::strumVoicing(notes, 90);
    EXPECT_EQ(notes, strum.notes) << "strummed notes sound from the bottom up";
    EXPECT_EQ(chord["offsets"].get<std::vector<double>>(), strum.offsets);
  }
}

TEST(CliChordsTest, BadOptionsExitTwoWithOneLine) {
  for (const char* args : {"--knob 6", "--knob x", "--knob", "--bpm 59", "--bpm 201", "--bpm 1.5",
                           "--key H", "--key c", "--key", "--bogus", "stray", "--sevenths=1"}) {
    Outcome run = runChords(args);
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_TRUE(run.out.empty()) << args;
    EXPECT_EQ(run.err.rfind("quimbel: ", 0), 0u) << args << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << args << ": " << run.err;
  }
  Outcome help = runChords("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--key"), std::string::npos);
}

}  // namespace
