#include "diagnostics/store.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace quimbel {
namespace {

TEST(DiagnosticsStore, PicksTheFolderFromTheEnvironment) {
  const std::string kUnderHome = "/h/.local/state/Quimbel/Diagnostics",
                    kTesting = "QUIMBEL_TESTING";
  const struct {
    const char* rule;
    std::map<std::string, std::string> environment;
    std::string accountHome, expected;
  } cases[] = {
      // clang-format off
      {"state home", {{"XDG_STATE_HOME", "/s"}, {"HOME", "/h"}}, "/p", "/s/Quimbel/Diagnostics"},
      {"relative state home is ignored", {{"XDG_STATE_HOME", "s"}, {"HOME", "/h"}}, "/p", kUnderHome},
      {"account home without HOME", {}, "/h", kUnderHome},
      {"no home at all", {}, "", ""},
      {"test run writes nowhere", {{kTesting, "1"}, {"XDG_STATE_HOME", "/s"}}, "/p", ""},
      {"explicit folder wins in a test run", {{kTesting, "1"}, {"QUIMBEL_DIAGNOSTICS_DIR", "/t"}}, "/p", "/t"},
      {"only QUIMBEL_TESTING=1 is a test run", {{kTesting, "0"}, {"HOME", "/h"}}, "/p", kUnderHome},
      // clang-format on
  };
  for (const auto& c : cases) {
    const DiagnosticsStore store = DiagnosticsStore::fromEnvironment(
        [&](std::string_view name) -> std::optional<std::string> {
          const auto found = c.environment.find(std::string(name));
          return found == c.environment.end() ? std::nullopt : std::optional(found->second);
        },
        c.accountHome);
    EXPECT_EQ(store.folder.string(), c.expected) << c.rule;
  }
}

}  // namespace
}  // namespace quimbel
