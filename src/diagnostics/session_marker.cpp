#include "diagnostics/session_marker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

namespace quimbel {
namespace {

using Json = nlohmann::ordered_json;

Json markerObject(const SessionMarker& marker) {
  Json object;
  object["version"] = marker.version;
  object["build"] = marker.build;
  object["system"] = marker.system;
  object["pid"] = marker.pid;
  object["startedAt"] = utc::iso8601(marker.startedAt);
  return object;
}

std::optional<SessionMarker> markerFrom(const Json& object) {
  if (!object.is_object()) return std::nullopt;
  const auto text = [&](const char* key) -> const Json* {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? &*it : nullptr;
  };
  const Json* version = text("version");
  const Json* build = text("build");
  const Json* system = text("system");
  const Json* started = text("startedAt");
  auto pid = object.find("pid");
  if (!version || !build || !system || !started || pid == object.end() ||
      !pid->is_number_integer()) {
    return std::nullopt;
  }
  const auto value = pid->get<std::int64_t>();
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  auto startedAt = utc::parseIso8601(started->get<std::string>());
  if (!startedAt) return std::nullopt;
  return SessionMarker{version->get<std::string>(), build->get<std::string>(),
                       system->get<std::string>(), static_cast<std::int32_t>(value), *startedAt};
}

Json parsed(std::string_view text) {
  return Json::parse(text, nullptr, /*allow_exceptions=*/false);
}

}  // namespace

std::string SessionMarker::toJson() const { return markerObject(*this).dump(); }

std::optional<SessionMarker> SessionMarker::fromJson(std::string_view text) {
  return markerFrom(parsed(text));
}

std::string SessionMarker::fileName(std::int32_t pid) {
  return "session-" + std::to_string(pid) + ".json";
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return bytes;
}

bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::string* error) {
  const auto fail = [&](const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    return false;
  };
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  std::string pattern =
      (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return fail("cannot create " + path.parent_path().string());
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int saved = errno;
      ::close(fd);
      ::unlink(pattern.c_str());
      errno = saved;
      return fail("cannot write " + path.string());
    }
    written += static_cast<std::size_t>(n);
  }
  // Diagnostics are read by people, not only by this program: 0644 like the log.
  [[maybe_unused]] const int mode = ::fchmod(fd, 0644);
  if (::close(fd) != 0 || ::rename(pattern.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    ::unlink(pattern.c_str());
    errno = saved;
    return fail("cannot write " + path.string());
  }
  return true;
}

}  // namespace quimbel
