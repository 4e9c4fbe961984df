// The instrument started where it cannot show itself: one line, status 1,
// and nothing that the next start would take for a crash.

#include "app/platform_start.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "cli/run_program.h"
#include "files/scratch.h"

namespace quimbel {
namespace {

struct Start {
  const char* what;
  const char* platform;  // QT_QPA_PLATFORM, or null
  const char* says;
};

TEST(PlatformStartTest, NoDisplayOrPluginIsOneLineStatusOneAndNoCrashOnRecord) {
  const Start starts[] = {
      {"no display at all", nullptr, "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)"},
      {"Wayland asked for, no compositor", "wayland", "no Wayland compositor answers"},
      {"a plugin that is not installed", "quimbel-none", "no Qt platform plugin \"quimbel-none\""},
  };
  for (const Start& start : starts) {
    ScratchDir scratch;
    const std::filesystem::path diagnostics = scratch.path() / "Diagnostics";
    // A real start, with the crash handler in place and its own runtime folder.
    for (const char* name : {"QUIMBEL_TESTING", "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
      ::unsetenv(name);
    if (start.platform) ::setenv("QT_QPA_PLATFORM", start.platform, 1);
    ::setenv("XDG_SESSION_TYPE", "tty", 1);
    ::setenv("XDG_RUNTIME_DIR", scratch.path().c_str(), 1);
    ::setenv("QUIMBEL_DIAGNOSTICS_DIR", diagnostics.c_str(), 1);
    const testing::Outcome outcome = testing::runQuimbel({});
    EXPECT_EQ(std::tuple(outcome.status, std::ranges::count(outcome.err, '\n'),
                         outcome.err.find(start.says) != std::string::npos),
              std::tuple(1, 1, true))
        << start.what << ":\n"
        << outcome.err;
    // No crash record and no run marker: the next start asks nothing.
    std::error_code none;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(diagnostics, none))
      EXPECT_FALSE(entry.is_regular_file()) << start.what << " left " << entry.path();
  }
}

TEST(PlatformStartTest, AMissingPluginNamesThePackageThatBringsIt) {
  const PlatformSetting wayland{"wayland", std::nullopt, "wayland-0"};
  const std::string line = platformFailure(
      wayland, {"qt.qpa.plugin: Could not find the Qt platform plugin \"wayland\" in \"\"",
                "This application failed to start because no Qt platform plugin could be "
                "initialized."});
  EXPECT_EQ(line, "no Qt platform plugin \"wayland\" (the package qt6-wayland brings it)");
}

}  // namespace
}  // namespace quimbel
