#include "cli/cli_render.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "audio/core/midi_chord_map.h"
#include "cli/run_program.h"

namespace quimbel::cli {
namespace {

namespace fs = std::filesystem;
using quimbel::testing::Outcome;
using quimbel::testing::runQuimbel;

Take recorded(std::string_view json) {
  auto doc = parseTakeDocument(json);
  auto* parsed = std::get_if<TakeDocument>(&doc);
  auto take = parsed ? recordTake(*parsed) : std::nullopt;
  EXPECT_TRUE(take.has_value()) << json;
  return take.value_or(Take{});
}

TEST(RecordTakeTest, VelocityStrumSettingsAndModifiersReachTheChords) {
  const Take take = recorded(R"({"quantize": false, "bpm": 90, "key": {"tonic": 0, "mode": "major"},
      "bass": false, "volume": 0.5, "knob": 0, "hits": [{"pad": 2, "t": 0},
      {"pad": 2, "t": 1, "velocity": 64}, {"pad": 2, "t": 2, "velocity": 64, "strum": true},
      {"pad": 4, "t": 3, "seventh": true}, {"pad": 4, "t": 4}]})");
  ASSERT_EQ(take.events.size(), 5u);
  const ChordHit &key = take.events[0], &midi = take.events[1], &strummed = take.events[2];
  EXPECT_EQ(std::tuple(key.velocity, key.voicing.gain), std::tuple(100, 1.0f));
  EXPECT_EQ(std::tuple(midi.velocity, midi.voicing.gain), std::tuple(64, velocityGain(64)));
  // With strum off the MIDI chord is the one the core plays straight away:
  // the same notes as a key press, all at once. With strum on it is a press
  // carrying the note's velocity, spread over half a beat.
  EXPECT_EQ(midi.voicing.notes, key.voicing.notes);
  EXPECT_EQ(midi.voicing.offsets, std::vector<double>(key.voicing.notes.size(), 0.0));
  EXPECT_EQ(std::tuple(strummed.velocity, strummed.voicing.gain), std::tuple(64, velocityGain(64)));
  EXPECT_NEAR(strummed.voicing.offsets.back(), 30.0 / 90, 1e-12);
  EXPECT_EQ(take.events[3].shown.name, "G7");
  EXPECT_EQ(take.events[4].shown.name, "G") << "the modifier is let go between hits";
  EXPECT_EQ(take.events[4].voicing.notes, take.events[4].shown.notes) << "no bass";
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
    const auto& e = events[i];
    const ChordHit& hit = take.events[i];
    EXPECT_EQ(
        std::tuple(e.at("t").get<double>(), e.at("hold").get<double>(), e.at("gain").get<double>(),
                   e.at("offsets").get<std::vector<double>>()),
        std::tuple(hit.t, hit.hold, static_cast<double>(hit.voicing.gain), hit.voicing.offsets));
    EXPECT_EQ(e.at("length"), hit.length ? nlohmann::json(*hit.length) : nlohmann::json());
  }
  // Pad 6 sorts first.
  EXPECT_EQ(std::tuple(events[0].at("color"), events[0].at("name"), events[1].at("velocity")),
            std::tuple("#ffe42f", nlohmann::json(take.events[0].shown.name), 33));
}

// `quimbel render` in a scratch folder of its own, with a good take in it.
TEST(RenderProgramTest, BadInputExitsTwoNamingTheFileAndPathAFailedWriteOneLeavingNoFile) {
  ScratchDir scratch;
  const fs::path& dir = scratch.path();
  auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir / name, std::ios::binary) << text;
    return (dir / name).string();
  };
  const std::string take =
      write("take.json", R"({"hits": [{"pad": 0, "t": 0}, {"pad": 3, "t": 1}]})");
  const std::string bad =
      write("bad.json", R"({"hits": [{"pad": 0, "t": 0}, {"pad": 7, "t": 1}]})");
  const std::string gone = (dir / "gone.json").string();
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{bad, "--midi", (dir / "x.mid").string()}, "quimbel: " + bad + ": hits[1].pad: "},
      {{gone}, "quimbel: " + gone + ": cannot read"},
      {{take, "--wav", "x.wav", "--wav-rate", "22050"}, "quimbel: --wav-rate: "},
  };
  for (auto [args, start] : cases) {
    args.insert(args.begin(), "render");
    const Outcome run = runQuimbel(args);
    EXPECT_EQ(std::tuple(run.status, run.err.rfind(start, 0), std::ranges::count(run.err, '\n')),
              std::tuple(2, 0u, 1))
        << run.err;
  }
  EXPECT_FALSE(fs::exists(dir / "x.mid"));

  // The disk fills up halfway through the file: the earlier file stays, alone.
  fs::remove(bad);
  const std::string existing = write("take.wav", "the take from yesterday");
  const Outcome run = runQuimbel({"render", take, "--wav", existing}, 64 * 1024);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(contents(existing), "the take from yesterday");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace quimbel::cli
