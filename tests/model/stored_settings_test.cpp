#include "model/stored_settings.h"

#include <gtest/gtest.h>

#include "audio/manual_main_thread.h"

namespace quimbel {
namespace {

StoredSettings read(std::string_view key, std::string_view value) {
  MemorySettingsStore store;
  store.setValue(key, value);
  return readStoredSettings(store);
}

TEST(StoredSettingsTest, OutOfRangeNumbersAreClamped) {
  EXPECT_EQ(read("knob", "9").knob, 5);
  EXPECT_EQ(read("knob", "-12").knob, -5);
  EXPECT_EQ(read("bpm", "20").bpm, 60);
  EXPECT_EQ(read("bpm", "99999999999999999999").bpm, 200);
  EXPECT_EQ(read("volume", "1.7").volume, 1.0);
  EXPECT_EQ(read("volume", "-0.2").volume, 0.0);
}

TEST(StoredSettingsTest, UnreadableValuesCountAsAbsent) {
  struct Case {
    const char* key;
    const char* value;
  };
  const Case cases[] = {
      {"key", R"({"tonic": 12, "mode": "minor"})"},
      {"key", R"({"tonic": 3)"},
      {"key", R"({"tonic": 3, "mode": "dorian"})"},
      {"knob", "2.5"},
      {"bpm", "fast"},
      {"volume", "nan"},
      {"volume", "inf"},
      {"bass", "yes please"},
      {"quantize", ""},
  };
  for (const Case& c : cases) {
    const StoredSettings s = read(c.key, c.value);
    EXPECT_FALSE(s.key || s.knob || s.bpm || s.volume || s.bass || s.quantize)
        << c.key << " = " << c.value;
  }
}

TEST(StoredSettingsTest, LenientReadingOfWellMeantValues) {
  EXPECT_EQ(read("knob", " 4.0 ").knob, 4);
  EXPECT_EQ(read("bass", "FALSE").bass, false);
  EXPECT_EQ(read("quantize", "1").quantize, true);
  const auto key = read("key", R"({"tonic": 11, "mode": "major"})").key;
  ASSERT_TRUE(key);
  EXPECT_EQ(*key, (Chords::Key{11, Chords::Mode::major}));
}

TEST(StoredSettingsTest, WrittenTextReadsBackToTheSameValue) {
  for (double v : {0.1 + 0.2, 0.8, 1.0 / 3.0, 0.0}) {
    MemorySettingsStore store;
    store.setValue(SettingKey::volume, settingText(v));
    EXPECT_EQ(readStoredSettings(store).volume, v) << settingText(v);
  }
  EXPECT_EQ(settingText(-3), "-3");
  EXPECT_EQ(settingText(true), "true");
}

}  // namespace
}  // namespace quimbel
