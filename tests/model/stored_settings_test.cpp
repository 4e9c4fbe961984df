#include "model/stored_settings.h"

#include <gtest/gtest.h>

#include "base/manual_main_thread.h"

namespace quimbel {
namespace {

StoredSettings read(std::string_view key, std::string_view value) {
  MemorySettingsStore store;
  store.setValue(key, value);
  return readStoredSettings(store);
}

TEST(StoredSettingsTest, UnreadableValuesCountAsAbsentAndWellMeantOnesAreRead) {
  const std::pair<const char*, const char*> unreadable[] = {
      {"key", R"({"tonic": 3)"}, {"key", R"({"tonic": 3, "mode": "dorian"})"},
      {"knob", "2.5"},           {"bpm", "fast"},
      {"volume", "nan"},         {"volume", "inf"},
      {"bass", "yes please"},    {"quantize", ""},
  };
  for (const auto& [key, value] : unreadable) {
    const StoredSettings s = read(key, value);
    EXPECT_FALSE(s.key || s.knob || s.bpm || s.volume || s.bass || s.quantize)
        << key << " = " << value;
  }
  EXPECT_EQ(read("knob", " 4.0 ").knob, 4);
  EXPECT_EQ(read("bpm", "99999999999999999999").bpm, 200);
  EXPECT_EQ(read("bass", "FALSE").bass, false);
}

TEST(StoredSettingsTest, WrittenVolumeReadsBackToTheSameValue) {
  for (double v : {0.1 + 0.2, 1.0 / 3.0, 0.0}) {
    MemorySettingsStore store;
    store.setValue(SettingKey::volume, settingText(v));
    EXPECT_EQ(readStoredSettings(store).volume, v) << settingText(v);
  }
}

}  // namespace
}  // namespace quimbel
