#include "diagnostics/ended_session.h"

#include <nlohmann/json.hpp>

namespace quimbel {
namespace {

using Json = nlohmann::ordered_json;

}  // namespace

std::string EndedSession::toJson() const {
  Json object;
  object["marker"] = Json::parse(marker.toJson());
  if (lastLogAt) object["lastLogAt"] = utc::iso8601(*lastLogAt);
  object["log"] = log;
  // The log was decoded with ill-formed bytes replaced, so it always encodes.
  return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<EndedSession> EndedSession::fromJson(std::string_view text) {
  const Json object = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!object.is_object()) return std::nullopt;
  auto marker = object.find("marker");
  auto log = object.find("log");
  if (marker == object.end() || log == object.end() || !log->is_string()) return std::nullopt;
  auto decoded = SessionMarker::fromJson(marker->dump());
  if (!decoded) return std::nullopt;
  EndedSession session{*decoded, std::nullopt, log->get<std::string>()};
  if (auto last = object.find("lastLogAt"); last != object.end() && !last->is_null()) {
    if (!last->is_string()) return std::nullopt;
    session.lastLogAt = utc::parseIso8601(last->get<std::string>());
    if (!session.lastLogAt) return std::nullopt;
  }
  return session;
}

std::string EndedSession::fileName() const {
  return "exit-" + utc::fileStamp(marker.startedAt) + "-" + std::to_string(marker.pid) + ".json";
}

}  // namespace quimbel
