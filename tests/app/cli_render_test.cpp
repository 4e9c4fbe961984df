#include "app/cli_render.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "audio/core/midi_chord_map.h"
#include "music/chords.h"

namespace quimbel::cli {
namespace {

namespace fs = std::filesystem;

Take recorded(std::string_view json) {
  auto doc = parseTakeDocument(json);
  if (auto* error = std::get_if<DocumentError>(&doc)) {
    ADD_FAILURE() << error->where << ": " << error->what;
    return {};
  }
  auto take = recordTake(std::get<TakeDocument>(doc));
  if (!take) ADD_FAILURE() << "no take";
  return take.value_or(Take{});
}

TEST(RecordTakeTest, VelocityMakesAMidiNoteAndItsAbsenceAKeyPress) {
  Take take = recorded(R"({"quantize": false, "hits": [
      {"pad": 2, "t": 0}, {"pad": 2, "t": 1, "velocity": 64},
      {"pad": 2, "t": 2, "velocity": 64, "strum": true}]})");
  ASSERT_EQ(take.events.size(), 3u);
  const ChordHit& key = take.events[0];
  const ChordHit& midi = take.events[1];
  const ChordHit& strummed = take.events[2];

  EXPECT_EQ(key.velocity, 100);
  EXPECT_EQ(key.voicing.gain, 1.0f);
  EXPECT_EQ(midi.velocity, 64);
  EXPECT_EQ(midi.voicing.gain, velocityGain(64));
  EXPECT_LT(midi.voicing.gain, 1.0f);
  // With strum off the MIDI chord is the one the core plays straight away:
  // the same notes as a key press, all at once.
  EXPECT_EQ(midi.voicing.notes, key.voicing.notes);
  EXPECT_EQ(midi.voicing.offsets, std::vector<double>(key.voicing.notes.size(), 0.0));
  // With strum on it is a press carrying the note's velocity.
  EXPECT_EQ(strummed.velocity, 64);
  EXPECT_EQ(strummed.voicing.gain, velocityGain(64));
  EXPECT_GT(strummed.voicing.offsets.back(), 0.0);
}

TEST(RecordTakeTest, StrumSpreadsOverHalfABeatOfTheDocumentsTempo) {
  for (int bpm : {60, 90, 200}) {
    Take take = recorded(R"({"bpm": )" + std::to_string(bpm) +
                         R"(, "hits": [{"pad": 0, "t": 0, "strum": true}]})");
    ASSERT_EQ(take.events.size(), 1u);
    const auto& offsets = take.events[0].voicing.offsets;
    ASSERT_GE(offsets.size(), 3u);
    EXPECT_EQ(offsets.front(), 0.0);
    EXPECT_NEAR(offsets.back(), 30.0 / bpm, 1e-12) << bpm;
    EXPECT_EQ(take.bpm, bpm);
  }
}

TEST(RecordTakeTest, SettingsAndModifiersReachTheChords) {
  Take take = recorded(R"({"key": {"tonic": 0, "mode": "major"}, "bass": false, "volume": 0.5,
      "knob": 0, "hits": [{"pad": 4, "t": 0, "seventh": true}, {"pad": 4, "t": 1}]})");
  ASSERT_EQ(take.events.size(), 2u);
  EXPECT_EQ(take.events[0].shown.name, "G7");
  EXPECT_TRUE(take.events[0].seventh);
  EXPECT_EQ(take.events[1].shown.name, "G") << "the modifier is let go between hits";
  EXPECT_EQ(take.events[1].voicing.notes, take.events[1].shown.notes) << "no bass";
  EXPECT_EQ(take.volume, 0.5f);
  EXPECT_EQ(take.knob, 0);
}

TEST(RecordTakeTest, QuantizeOffKeepsTheTimesAndGivesNoLengths) {
  const char* hits = R"("hits": [{"pad": 0, "t": 0.3}, {"pad": 1, "t": 1.1},
                                  {"pad": 2, "t": 0.7}], "length": 2.6})";
  Take raw = recorded(std::string(R"({"quantize": false, )") + hits);
  ASSERT_EQ(raw.events.size(), 3u);
  EXPECT_EQ(raw.events[0].t, 0.3);
  EXPECT_EQ(raw.events[1].t, 0.7);
  EXPECT_EQ(raw.events[2].t, 1.1);
  for (const ChordHit& hit : raw.events) EXPECT_FALSE(hit.length.has_value());
  EXPECT_EQ(raw.length, 2.0);

  Take quantized = recorded(std::string("{") + hits);
  ASSERT_EQ(quantized.events.size(), 3u);
  EXPECT_EQ(quantized.events[0].t, 0.0);
  EXPECT_EQ(quantized.events[2].length, quantized.length - quantized.events[2].t);
}

TEST(EventsJsonTest, EveryNumberReadsBackAsTheSameDouble) {
  Take take = recorded(R"({"bpm": 97, "quantize": false, "length": 3.3000000000000003,
      "hits": [{"pad": 1, "t": 0.30000000000000004, "hold": 0.1, "strum": true, "velocity": 33},
               {"pad": 6, "t": 1e-7, "ninth": true, "seventh": true}]})");
  take.events[1].length = 2.0 / 3.0;
  const auto printed = nlohmann::json::parse(eventsJson(take));

  EXPECT_EQ(printed.at("length").get<double>(), take.length);
  const auto& events = printed.at("events");
  ASSERT_EQ(events.size(), take.events.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& e = events[i];
    const ChordHit& hit = take.events[i];
    EXPECT_EQ(e.at("pad").get<int>(), hit.pad);
    EXPECT_EQ(e.at("t").get<double>(), hit.t);
    EXPECT_EQ(e.at("notes").get<std::vector<int>>(), hit.voicing.notes);
    EXPECT_EQ(e.at("offsets").get<std::vector<double>>(), hit.voicing.offsets);
    EXPECT_EQ(e.at("gain").get<double>(), static_cast<double>(hit.voicing.gain));
    EXPECT_EQ(e.at("velocity").get<int>(), hit.velocity);
    EXPECT_EQ(e.at("hold").get<double>(), hit.hold);
    EXPECT_EQ(e.at("seventh").get<bool>(), hit.seventh);
    EXPECT_EQ(e.at("ninth").get<bool>(), hit.ninth);
    if (hit.length) {
      EXPECT_EQ(e.at("length").get<double>(), *hit.length);
    } else {
      EXPECT_TRUE(e.at("length").is_null());
    }
    EXPECT_EQ(e.at("name").get<std::string>(), hit.shown.name);
  }
  // The two hits sorted by time: pad 6 first.
  EXPECT_EQ(events[0].at("color").get<std::string>(), "#ffe42f");
}

// --- The program as a user runs it ---

struct Outcome {
  int status = -1;
  std::string err;
};

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `quimbel render <args>` with files no larger than `fileLimit` bytes.
Outcome runRender(std::vector<std::string> args, rlim_t fileLimit = RLIM_INFINITY) {
  const fs::path errFile = fs::path(::testing::TempDir()) / "quimbel_render_stderr.txt";
  args.insert(args.begin(), {QUIMBEL_EXE, "render"});
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    const int null = ::open("/dev/null", O_WRONLY);
    dup2(null, 1);
    // A write past the limit fails instead of killing the program.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{fileLimit, fileLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int raw = 0;
  waitpid(child, &raw, 0);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(errFile)};
}

class RenderProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("quimbel_render_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    take_ = write("take.json", R"({"hits": [{"pad": 0, "t": 0}, {"pad": 3, "t": 1}]})");
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return (dir_ / name).string();
  }
  std::vector<std::string> folder() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
  std::string take_;
};

TEST_F(RenderProgramTest, AnOutputThatCannotBeWrittenLeavesNothingBehind) {
  const std::string missing = (dir_ / "no such folder" / "take.mid").string();
  Outcome run = runRender({take_, "--midi", missing});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("quimbel: " + missing + ": ", 0), 0u) << run.err;
  EXPECT_FALSE(fs::exists(missing));

  // The disk fills up halfway through the file: the earlier file stays.
  const std::string existing = write("take.wav", "the take from yesterday");
  run = runRender({take_, "--wav", existing}, 64 * 1024);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(slurp(existing), "the take from yesterday");
  EXPECT_EQ(folder(), (std::vector<std::string>{"take.json", "take.wav"}));

  // A write that succeeds replaces what was there.
  const std::string midi = write("take.mid", "the take from yesterday");
  run = runRender({take_, "--midi", midi});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(slurp(midi).substr(0, 4), "MThd");
}

TEST_F(RenderProgramTest, BadInputNamesTheFileAndThePath) {
  const std::string bad =
      write("bad.json", R"({"hits": [{"pad": 0, "t": 0}, {"pad": 7, "t": 1}]})");
  const std::string empty = write("empty.json", R"({"hits": []})");
  const std::string gone = (dir_ / "gone.json").string();
  const struct {
    std::vector<std::string> args;
    std::string start;
  } cases[] = {
      {{bad, "--midi", (dir_ / "x.mid").string()}, "quimbel: " + bad + ": hits[1].pad: "},
      {{gone}, "quimbel: " + gone + ": cannot read"},
      {{empty, "--events"}, "quimbel: " + empty + ": hits: "},
      {{take_, "--wav", "x.wav", "--wav-rate", "22050"}, "quimbel: --wav-rate: "},
      {{take_, "--wav-rate", "48000"}, "quimbel: --wav-rate: "},
  };
  for (const auto& c : cases) {
    Outcome run = runRender(c.args);
    EXPECT_EQ(run.status, 2) << c.start;
    EXPECT_EQ(run.err.rfind(c.start, 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  EXPECT_FALSE(fs::exists(dir_ / "x.mid"));
}

}  // namespace
}  // namespace quimbel::cli
