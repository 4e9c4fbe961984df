#include "diagnostics/store.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace quimbel {
namespace {

std::optional<std::string> processEnvironment(std::string_view name) {
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::filesystem::path accountHomeFolder() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return {};
  }
  return found->pw_dir;
}

}  // namespace

bool isTestRun(const DiagnosticsStore::Environment& environment) {
  return environment("QUIMBEL_TESTING") == std::optional<std::string>("1") ||
         environment("XCTestConfigurationFilePath").has_value();
}

DiagnosticsStore DiagnosticsStore::fromEnvironment(const Environment& environment,
                                                   const std::filesystem::path& accountHome) {
  if (auto folder = environment("QUIMBEL_DIAGNOSTICS_DIR"); folder && !folder->empty()) {
    return {std::filesystem::path(*folder)};
  }
  // A test run never touches the user's own diagnostics.
  if (isTestRun(environment)) return {};

  const auto below = [](const std::filesystem::path& state) {
    return state / "Quimbel" / "Diagnostics";
  };
  // Relative values of the XDG variables are to be ignored.
  if (auto state = environment("XDG_STATE_HOME");
      state && !state->empty() && state->front() == '/') {
    return {below(*state)};
  }
  std::filesystem::path home;
  if (auto value = environment("HOME"); value && !value->empty()) {
    home = *value;
  } else {
    home = accountHome;
  }
  if (home.empty()) return {};
  return {below(home / ".local" / "state")};
}

std::filesystem::path DiagnosticsStore::pendingFolder() const {
  return folder.empty() ? folder : folder / "Pending";
}

std::filesystem::path DiagnosticsStore::outboxFolder() const {
  return folder.empty() ? folder : folder / "Outbox";
}

DiagnosticsStore DiagnosticsStore::standard() {
  return fromEnvironment(processEnvironment, accountHomeFolder());
}

}  // namespace quimbel
