#include "app/take_document.h"

#include <gtest/gtest.h>

namespace quimbel::cli {
namespace {

TakeDocument parsed(std::string_view json) {
  auto result = parseTakeDocument(json);
  if (auto* error = std::get_if<DocumentError>(&result))
    ADD_FAILURE() << error->where << ": " << error->what;
  return std::get<TakeDocument>(result);
}

TEST(TakeDocumentTest, MissingMembersTakeAFreshInstallsDefaults) {
  TakeDocument doc = parsed(R"({"hits": [{"pad": 2, "t": 1.5}, {"pad": 0, "t": 0.25}]})");
  EXPECT_EQ(doc.key, (Chords::Key{1, Chords::Mode::minor}));
  EXPECT_EQ(doc.bpm, 120);
  EXPECT_EQ(doc.knob, -3);
  EXPECT_TRUE(doc.bass);
  EXPECT_DOUBLE_EQ(doc.volume, 0.8);
  EXPECT_TRUE(doc.quantize);
  EXPECT_DOUBLE_EQ(doc.length, 1.5) << "the latest hit's time";
  ASSERT_EQ(doc.hits.size(), 2u);
  EXPECT_DOUBLE_EQ(doc.hits[0].hold, 0.2);
  EXPECT_FALSE(doc.hits[0].seventh || doc.hits[0].ninth || doc.hits[0].strum);
  EXPECT_FALSE(doc.hits[0].velocity.has_value()) << "no velocity means a key press";
}

TEST(TakeDocumentTest, ReadsEveryMemberAsGiven) {
  TakeDocument doc = parsed(R"({"key": {"tonic": 9, "mode": "major"}, "bpm": 90, "knob": 5,
      "bass": false, "volume": 0, "quantize": false, "length": 6.5,
      "hits": [{"pad": 6, "t": 0.125, "hold": 0.75, "seventh": true, "ninth": true,
                "strum": true, "velocity": 0}]})");
  EXPECT_EQ(doc.key, (Chords::Key{9, Chords::Mode::major}));
  EXPECT_EQ(doc.bpm, 90);
  EXPECT_EQ(doc.knob, 5);
  EXPECT_FALSE(doc.bass);
  EXPECT_EQ(doc.volume, 0.0);
  EXPECT_FALSE(doc.quantize);
  EXPECT_EQ(doc.length, 6.5);
  const auto& hit = doc.hits.at(0);
  EXPECT_EQ(hit.pad, 6);
  EXPECT_EQ(hit.t, 0.125);
  EXPECT_EQ(hit.hold, 0.75);
  EXPECT_TRUE(hit.seventh && hit.ninth && hit.strum);
  EXPECT_EQ(hit.velocity, 0);
}

struct BadDocument {
  const char* name;
  const char* json;
  const char* where;
  const char* what;
};

class TakeDocumentErrorTest : public testing::TestWithParam<BadDocument> {};

TEST_P(TakeDocumentErrorTest, NamesThePathAndTheRule) {
  auto result = parseTakeDocument(GetParam().json);
  auto* error = std::get_if<DocumentError>(&result);
  ASSERT_NE(error, nullptr) << "accepted";
  EXPECT_EQ(error->where, GetParam().where);
  EXPECT_NE(error->what.find(GetParam().what), std::string::npos) << error->what;
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, TakeDocumentErrorTest,
    testing::Values(
        BadDocument{"NotJson", R"({"hits": [)", "", "not valid JSON"},
        BadDocument{"NotAnObject", R"([1, 2])", "", "must be a JSON object"},
        BadDocument{"NoHits", R"({"bpm": 100})", "hits", "is required"},
        BadDocument{"HitsNotArray", R"({"hits": {}})", "hits", "must be an array"},
        BadDocument{"TonicTooHigh", R"({"key": {"tonic": 12}, "hits": []})", "key.tonic",
                    "0 to 11"},
        BadDocument{"UnknownMode", R"({"key": {"mode": "dorian"}, "hits": []})", "key.mode",
                    "\"major\" or \"minor\""},
        BadDocument{"SlowTempo", R"({"bpm": 59, "hits": []})", "bpm", "60 to 200"},
        BadDocument{"FractionalTempo", R"({"bpm": 100.5, "hits": []})", "bpm", "whole number"},
        BadDocument{"TempoAsText", R"({"bpm": "120", "hits": []})", "bpm", "60 to 200"},
        BadDocument{"KnobPastEnd", R"({"knob": -6, "hits": []})", "knob", "-5 to 5"},
        BadDocument{"LoudVolume", R"({"volume": 1.01, "hits": []})", "volume", "0 to 1"},
        BadDocument{"BassAsNumber", R"({"bass": 1, "hits": []})", "bass", "true or false"},
        BadDocument{"NegativeLength", R"({"length": -1, "hits": []})", "length", "0 to 600"},
        BadDocument{"PadSeven", R"({"hits": [{"pad": 0, "t": 0}, {"pad": 7, "t": 1}]})",
                    "hits[1].pad", "0 to 6"},
        BadDocument{"PastTenMinutes", R"({"hits": [{"pad": 0, "t": 600.5}]})", "hits[0].t",
                    "0 to 600"},
        BadDocument{"BeyondADouble", R"({"hits": [{"pad": 1e400, "t": 0}]})", "", "not valid JSON"},
        BadDocument{"NoTime", R"({"hits": [{"pad": 0}]})", "hits[0].t", "is required"},
        BadDocument{"NegativeTime", R"({"hits": [{"pad": 0, "t": -0.1}]})", "hits[0].t",
                    "0 to 600"},
        BadDocument{"NegativeHold", R"({"hits": [{"pad": 0, "t": 0, "hold": -2}]})", "hits[0].hold",
                    "0 to 600"},
        BadDocument{"LoudVelocity", R"({"hits": [{"pad": 0, "t": 0, "velocity": 128}]})",
                    "hits[0].velocity", "0 to 127"},
        BadDocument{"HitNotObject", R"({"hits": [3]})", "hits[0]", "must be an object"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TakeDocumentTest, UnreadableFileIsAnErrorOfTheDocument) {
  auto result = readTakeDocument("/nonexistent/take.json");
  auto* error = std::get_if<DocumentError>(&result);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(error->what.find("cannot read"), std::string::npos);
}

}  // namespace
}  // namespace quimbel::cli
