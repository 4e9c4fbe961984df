#include "music/key_json.h"

#include <gtest/gtest.h>

namespace quimbel::Chords {
namespace {

TEST(KeyJsonTest, StoresTonicAndModeAndReadsThemBack) {
  EXPECT_EQ(keyToJson({9, Mode::minor}), nlohmann::json::parse(R"({"tonic":9,"mode":"minor"})"));
  for (int tonic = 0; tonic < 12; ++tonic) {
    for (Mode mode : {Mode::major, Mode::minor}) {
      Key key{tonic, mode};
      EXPECT_EQ(decodeKey(encodeKey(key)), key);
    }
  }
}

TEST(KeyJsonTest, RangeIsLeftToTheCallerButShapeIsChecked) {
  EXPECT_EQ(decodeKey(R"({"tonic":12,"mode":"major"})"), (Key{12, Mode::major}));
  EXPECT_EQ(decodeKey(R"({"mode":"minor","tonic":1.0,"extra":true})"), (Key{1, Mode::minor}));
  for (const char* bad : {
           R"({"tonic":1})",
           R"({"mode":"minor"})",
           R"({"tonic":1,"mode":"dorian"})",
           R"({"tonic":1,"mode":"Minor"})",
           R"({"tonic":"1","mode":"minor"})",
           R"({"tonic":1.5,"mode":"minor"})",
           R"({"tonic":1e30,"mode":"minor"})",
           R"({"tonic":18446744073709551615,"mode":"minor"})",
           R"({"tonic":null,"mode":"minor"})",
           R"([1,"minor"])",
           R"({"tonic":1,"mode":"minor")",
           "",
       }) {
    EXPECT_FALSE(decodeKey(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace quimbel::Chords
