#include "diagnostics/store.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace quimbel {
namespace {

struct Case {
  const char* rule;
  std::map<std::string, std::string> environment;
  std::string accountHome;
  std::string expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.rule; }

class DiagnosticsStoreCases : public ::testing::TestWithParam<Case> {};

TEST_P(DiagnosticsStoreCases, PicksTheFolder) {
  const auto& env = GetParam().environment;
  const DiagnosticsStore store = DiagnosticsStore::fromEnvironment(
      [&](std::string_view name) -> std::optional<std::string> {
        const auto found = env.find(std::string(name));
        if (found == env.end()) return std::nullopt;
        return found->second;
      },
      GetParam().accountHome);
  EXPECT_EQ(store.folder.string(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, DiagnosticsStoreCases,
    ::testing::Values(
        Case{"state home",
             {{"XDG_STATE_HOME", "/s"}, {"HOME", "/h"}},
             "/p",
             "/s/Quimbel/Diagnostics"},
        Case{"relative state home is ignored",
             {{"XDG_STATE_HOME", "s"}, {"HOME", "/h"}},
             "/p",
             "/h/.local/state/Quimbel/Diagnostics"},
        Case{"empty state home is ignored",
             {{"XDG_STATE_HOME", ""}, {"HOME", "/h"}},
             "/p",
             "/h/.local/state/Quimbel/Diagnostics"},
        Case{"account home without HOME", {}, "/p", "/p/.local/state/Quimbel/Diagnostics"},
        Case{"no home at all", {}, "", ""},
        Case{"test run writes nowhere",
             {{"QUIMBEL_TESTING", "1"}, {"XDG_STATE_HOME", "/s"}},
             "/p",
             ""},
        Case{"test harness variable",
             {{"XCTestConfigurationFilePath", ""}, {"HOME", "/h"}},
             "/p",
             ""},
        Case{"explicit folder wins, also in a test run",
             {{"QUIMBEL_TESTING", "1"}, {"QUIMBEL_DIAGNOSTICS_DIR", "/t/d"}},
             "/p",
             "/t/d"},
        Case{"QUIMBEL_TESTING other than 1 is no test run",
             {{"QUIMBEL_TESTING", "0"}, {"HOME", "/h"}},
             "/p",
             "/h/.local/state/Quimbel/Diagnostics"}));

}  // namespace
}  // namespace quimbel
