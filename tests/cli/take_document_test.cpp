#include "cli/take_document.h"

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
  const TakeDocument doc = parsed(R"({"hits": [{"pad": 2, "t": 1.5}, {"pad": 0, "t": 0.25}]})");
  EXPECT_EQ(doc.key, (Chords::Key{1, Chords::Mode::minor}));
  EXPECT_EQ(std::tuple(doc.bpm, doc.knob, doc.bass, doc.volume, doc.quantize),
            std::tuple(120, -3, true, 0.8, true));
  EXPECT_DOUBLE_EQ(doc.length, 1.5) << "the latest hit's time";
  ASSERT_EQ(doc.hits.size(), 2u);
  EXPECT_DOUBLE_EQ(doc.hits[0].hold, 0.2);
  EXPECT_FALSE(doc.hits[0].seventh || doc.hits[0].ninth || doc.hits[0].strum);
  EXPECT_FALSE(doc.hits[0].velocity.has_value()) << "no velocity means a key press";
}

TEST(TakeDocumentTest, ReadsEveryMemberAsGiven) {
  const TakeDocument doc = parsed(R"({"key": {"tonic": 9, "mode": "major"}, "bpm": 90, "knob": 5,
      "bass": false, "volume": 0, "quantize": false, "length": 6.5,
      "hits": [{"pad": 6, "t": 0.125, "hold": 0.75, "seventh": true, "ninth": true,
                "strum": true, "velocity": 0}]})");
  EXPECT_EQ(doc.key, (Chords::Key{9, Chords::Mode::major}));
  EXPECT_EQ(std::tuple(doc.bpm, doc.knob, doc.bass, doc.volume, doc.quantize, doc.length),
            std::tuple(90, 5, false, 0.0, false, 6.5));
  const auto& hit = doc.hits.at(0);
  EXPECT_EQ(
      std::tuple(hit.pad, hit.t, hit.hold, hit.seventh && hit.ninth && hit.strum, hit.velocity),
      std::tuple(6, 0.125, 0.75, true, std::optional<int>(0)));
}

TEST(TakeDocumentTest, ErrorsNameTheJsonPathAndTheRule) {
  const struct {
    const char *json, *where, *what;
  } cases[] = {
      // clang-format off
      {R"({"hits": [)", "", "not valid JSON"},
      {R"({"bpm": 100})", "hits", "is required"},
      {R"({"key": {"tonic": 12}, "hits": []})", "key.tonic", "0 to 11"},
      {R"({"key": {"mode": "dorian"}, "hits": []})", "key.mode", "\"major\" or \"minor\""},
      {R"({"bpm": 59, "hits": []})", "bpm", "60 to 200"},
      {R"({"bpm": 100.5, "hits": []})", "bpm", "whole number"},
      {R"({"bass": 1, "hits": []})", "bass", "true or false"},
      {R"({"hits": [{"pad": 0, "t": 0}, {"pad": 7, "t": 1}]})", "hits[1].pad", "0 to 6"},
      {R"({"hits": [{"pad": 0, "t": 600.5}]})", "hits[0].t", "0 to 600"},
      {R"({"hits": [{"pad": 0, "t": 0, "velocity": 128}]})", "hits[0].velocity", "0 to 127"},
      {R"({"hits": [3]})", "hits[0]", "must be an object"},
      // clang-format on
  };
  for (const auto& c : cases) {
    auto result = parseTakeDocument(c.json);
    const auto* error = std::get_if<DocumentError>(&result);
    ASSERT_NE(error, nullptr) << c.json;
    EXPECT_EQ(error->where, c.where) << c.json;
    EXPECT_NE(error->what.find(c.what), std::string::npos) << error->what;
  }
}

}  // namespace
}  // namespace quimbel::cli
