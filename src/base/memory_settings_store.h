#pragma once

// Settings held in memory: the pad model's store when the program hands it
// none, and the store of the command line and tests, which never touch the
// user's settings.

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "base/main_thread.h"

namespace quimbel {

class MemorySettingsStore final : public SettingsStore {
 public:
  std::optional<std::string> value(std::string_view key) const override {
    auto it = values_.find(std::string(key));
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  void setValue(std::string_view key, std::string_view value) override {
    values_[std::string(key)] = std::string(value);
  }

 private:
  std::map<std::string, std::string> values_;
};

}  // namespace quimbel
