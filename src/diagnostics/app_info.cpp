#include "diagnostics/app_info.h"

#include <sys/utsname.h>

#include <fstream>
#include <sstream>

namespace quimbel {
namespace {

std::string readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

// os-release values may be quoted with double or single quotes, with
// backslash escapes inside double quotes.
std::string unquoted(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    const char quote = value.front();
    value = value.substr(1, value.size() - 2);
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (quote == '"' && value[i] == '\\' && i + 1 < value.size()) ++i;
      out.push_back(value[i]);
    }
    return out;
  }
  return std::string(value);
}

}  // namespace

std::string AppInfo::systemDescription(std::string_view kernelRelease, std::string_view osRelease) {
  std::string system = "Linux " + std::string(kernelRelease);
  std::istringstream lines{std::string(osRelease)};
  for (std::string line; std::getline(lines, line);) {
    constexpr std::string_view kKey = "PRETTY_NAME=";
    if (line.rfind(kKey, 0) != 0) continue;
    const std::string name = unquoted(trimmed(std::string_view(line).substr(kKey.size())));
    if (!name.empty()) system += ", " + name;
    break;
  }
  return system;
}

AppInfo AppInfo::current() {
  AppInfo info;
  info.version = QUIMBEL_VERSION;
  info.build = QUIMBEL_BUILD;
  utsname names{};
  const std::string release = ::uname(&names) == 0 ? names.release : "unknown";
  std::string osRelease = readFile("/etc/os-release");
  if (osRelease.empty()) osRelease = readFile("/usr/lib/os-release");
  info.system = systemDescription(release, osRelease);
  info.model = trimmed(readFile("/sys/class/dmi/id/product_name"));
  if (info.model.empty()) info.model = "unknown";
#if defined(__aarch64__)
  info.arch = "arm64";
#elif defined(__x86_64__)
  info.arch = "x86_64";
#else
  info.arch = names.machine[0] != '\0' ? names.machine : "unknown";
#endif
  return info;
}

}  // namespace quimbel
