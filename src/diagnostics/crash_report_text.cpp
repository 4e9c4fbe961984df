#include "diagnostics/crash_report_text.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <optional>

namespace quimbel::crashreport {
namespace {

using Json = nlohmann::json;

const Json* member(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

// A metadata value as the report prints it: strings as they are, whole
// numbers without a fraction, anything else as JSON.
std::string text(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_integer()) return std::to_string(value.get<std::int64_t>());
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (number == static_cast<double>(static_cast<std::int64_t>(number))) {
      return std::to_string(static_cast<std::int64_t>(number));
    }
  }
  return value.dump();
}

std::optional<std::int64_t> integer(const Json& value) {
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) return static_cast<std::int64_t>(value.get<double>());
  if (value.is_string()) {
    const std::string s = value.get<std::string>();
    char* end = nullptr;
    const long long parsed = std::strtoll(s.c_str(), &end, 10);
    if (!s.empty() && end && *end == '\0') return parsed;
  }
  return std::nullopt;
}

const char* exceptionName(std::int64_t type) {
  switch (type) {
    case 1:
      return "EXC_BAD_ACCESS";
    case 2:
      return "EXC_BAD_INSTRUCTION";
    case 3:
      return "EXC_ARITHMETIC";
    case 4:
      return "EXC_EMULATION";
    case 5:
      return "EXC_SOFTWARE";
    case 6:
      return "EXC_BREAKPOINT";
    case 10:
      return "EXC_CRASH";
    case 11:
      return "EXC_RESOURCE";
    case 12:
      return "EXC_GUARD";
    default:
      return nullptr;
  }
}

// Keyed by this system's own signal numbers: the payloads record the signal
// that really arrived, and SIGBUS is 7 here.
const char* signalName(std::int64_t number) {
  static constexpr struct {
    int number;
    const char* name;
  } kNames[] = {{SIGILL, "SIGILL"},   {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"},
                {SIGFPE, "SIGFPE"},   {SIGKILL, "SIGKILL"}, {SIGBUS, "SIGBUS"},
                {SIGSEGV, "SIGSEGV"}, {SIGPIPE, "SIGPIPE"}};
  for (const auto& entry : kNames) {
    if (entry.number == number) return entry.name;
  }
  return nullptr;
}

std::string upperHex(std::uint64_t value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%llX", static_cast<unsigned long long>(value));
  return buffer;
}

void appendFrames(const Json& frames, int depth, std::vector<std::string>& lines) {
  if (!frames.is_array()) return;
  for (const Json& frame : frames) {
    std::string line = "  ";
    std::string level = std::to_string(depth);
    level.resize(std::max<std::size_t>(level.size(), 3), ' ');
    line += level + " ";
    const Json* name = member(frame, "binaryName");
    line += name ? text(*name) : "?";
    line += "  [";
    const Json* uuid = member(frame, "binaryUUID");
    line += uuid ? text(*uuid) : "?";
    std::uint64_t offset = 0;
    if (const Json* value = member(frame, "offsetIntoBinaryTextSegment")) {
      offset = static_cast<std::uint64_t>(integer(*value).value_or(0));
    }
    line += " +0x" + upperHex(offset) + "]";
    if (const Json* samples = member(frame, "sampleCount")) {
      if (const auto count = integer(*samples); count && *count >= 2) {
        line += "  × " + std::to_string(*count);
      }
    }
    lines.push_back(std::move(line));
    if (const Json* sub = member(frame, "subFrames")) appendFrames(*sub, depth + 1, lines);
  }
}

// " (crash handler, 2026-12-07 12:15)", or nothing without a readable end time.
std::string payloadTime(const Json& payload) {
  const Json* end = member(payload, "timeStampEnd");
  if (!end || !end->is_string()) return {};
  const auto time = utc::parsePayloadTime(end->get<std::string>());
  return time ? " (crash handler, " + utc::minutes(*time) + ")" : std::string();
}

struct Diagnostic {
  const Json* json;
  const Json* payload;
};

std::vector<Diagnostic> listed(const std::vector<Payload>& payloads, const char* key) {
  std::vector<Diagnostic> all;
  for (const Payload& payload : payloads) {
    const Json* list = member(payload.json, key);
    if (!list || !list->is_array()) continue;
    for (const Json& diagnostic : *list) all.push_back({&diagnostic, &payload.json});
  }
  return all;
}

const Json& metaOf(const Json& diagnostic) {
  static const Json kEmpty = Json::object();
  const Json* meta = member(diagnostic, "diagnosticMetaData");
  return meta && meta->is_object() ? *meta : kEmpty;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

std::string sessionTitle(const SessionMarker& marker) {
  return "Quimbel " + marker.version + " (" + marker.build + ")";
}

}  // namespace

bool holdsCrash(const Json& payload) {
  const Json* crashes = member(payload, "crashDiagnostics");
  return crashes && crashes->is_array() && !crashes->empty();
}

std::string crashSummary(const Json& meta) {
  std::vector<std::string> parts;
  if (const Json* type = member(meta, "exceptionType")) {
    const auto number = integer(*type);
    const char* name = number ? exceptionName(*number) : nullptr;
    parts.push_back(name ? name : "exception type " + text(*type));
  }
  if (const Json* signal = member(meta, "signal")) {
    const auto number = integer(*signal);
    const char* name = number ? signalName(*number) : nullptr;
    parts.push_back("(" + (name ? std::string(name) : "signal " + text(*signal)) + ")");
  }
  if (const Json* reason = member(meta, "objectiveCexceptionReason")) {
    if (const Json* name = member(*reason, "exceptionName")) parts.push_back("from " + text(*name));
  }
  return parts.empty() ? "no reason given" : join(parts, " ");
}

std::vector<std::string> detailLines(const Json& diagnostic) {
  const Json& meta = metaOf(diagnostic);
  std::vector<std::string> lines;
  std::vector<std::string> about;
  if (const Json* version = member(meta, "appVersion")) {
    std::string product = "Quimbel " + text(*version);
    if (const Json* build = member(meta, "appBuildVersion")) product += " (" + text(*build) + ")";
    about.push_back(product);
  }
  const Json* arch = member(meta, "platformArchitecture");
  if (!arch) arch = member(meta, "platformArch");
  if (arch) about.push_back(text(*arch));
  if (const Json* os = member(meta, "osVersion")) about.push_back(text(*os));
  if (const Json* device = member(meta, "deviceType")) about.push_back(text(*device));
  if (!about.empty()) lines.push_back(join(about, " · "));

  const Json* hang = member(meta, "hangDuration");
  if (hang) lines.push_back("Hang: " + text(*hang));
  if (member(meta, "exceptionType") || member(meta, "signal")) {
    std::string line = "Exception: " + crashSummary(meta);
    if (const Json* code = member(meta, "exceptionCode")) line += ", code " + text(*code);
    lines.push_back(line);
  }
  if (const Json* reason = member(meta, "terminationReason")) {
    lines.push_back("Termination: " + text(*reason));
  }
  if (const Json* memory = member(meta, "virtualMemoryRegionInfo")) {
    lines.push_back("Memory: " + text(*memory));
  }
  if (const Json* reason = member(meta, "objectiveCexceptionReason")) {
    const Json* name = member(*reason, "exceptionName");
    const Json* message = member(*reason, "composedMessage");
    if (name || message) {
      lines.push_back("Objective-C exception: " + (name ? text(*name) : std::string()) + ": " +
                      (message ? text(*message) : std::string()));
    }
  }

  const Json* tree = member(diagnostic, "callStackTree");
  const Json* stacks = tree ? member(*tree, "callStacks") : nullptr;
  if (stacks && stacks->is_array()) {
    // The thread that crashed or hung comes first; the others keep their order.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < stacks->size(); ++i) order.push_back(i);
    const auto attributed = [&](std::size_t i) {
      const Json* flag = member((*stacks)[i], "threadAttributed");
      return flag && flag->is_boolean() && flag->get<bool>();
    };
    std::stable_partition(order.begin(), order.end(), attributed);
    for (std::size_t i : order) {
      const Json* roots = member((*stacks)[i], "callStackRootFrames");
      if (!roots || !roots->is_array() || roots->empty()) continue;
      std::string line = "Thread " + std::to_string(i);
      if (attributed(i)) line += hang ? " (hung)" : " (crashed)";
      lines.push_back(line);
      appendFrames(*roots, 0, lines);
    }
  }
  return lines;
}

std::string composeReport(const std::vector<EndedSession>& ended,
                          const std::vector<Payload>& payloads, std::string_view logTail,
                          const AppInfo& info, utc::Time now, const Redaction& redaction) {
  const auto crashes = listed(payloads, "crashDiagnostics");
  const auto hangs = listed(payloads, "hangDiagnostics");

  std::vector<std::string> body{"What happened"};
  for (const Diagnostic& crash : crashes) {
    body.push_back("  · Quimbel quit unexpectedly: " + crashSummary(metaOf(*crash.json)) +
                   payloadTime(*crash.payload) + ".");
  }
  for (const EndedSession& session : ended) {
    std::string line = "  · " + sessionTitle(session.marker) + " didn’t close normally: started " +
                       utc::minutes(session.marker.startedAt);
    if (session.lastLogAt) line += ", last logged " + utc::minutes(*session.lastLogAt);
    body.push_back(line + ".");
  }
  for (const Diagnostic& hang : hangs) {
    std::string line = "  · Quimbel stopped responding";
    if (const Json* duration = member(metaOf(*hang.json), "hangDuration")) {
      line += " for " + text(*duration);
    }
    body.push_back(line + payloadTime(*hang.payload) + ".");
  }
  const auto section = [&](const std::string& title, const std::vector<std::string>& lines) {
    body.push_back("");
    body.push_back(title);
    body.insert(body.end(), lines.begin(), lines.end());
  };
  for (std::size_t n = 0; n < crashes.size(); ++n) {
    section("── Crash " + std::to_string(n + 1) + " ──", detailLines(*crashes[n].json));
  }
  for (std::size_t n = 0; n < hangs.size(); ++n) {
    section("── Hang " + std::to_string(n + 1) + " ──", detailLines(*hangs[n].json));
  }
  if (!ended.empty()) {
    for (const EndedSession& session : ended) {
      section("── The log when " + sessionTitle(session.marker) + " ended, started " +
                  utc::minutes(session.marker.startedAt) + " ──",
              {session.log});
    }
  } else {
    section("── The log ──", {std::string(logTail)});
  }
  for (std::size_t n = 0; n < payloads.size(); ++n) {
    // The saved file ends in a line feed that the report's own line ending
    // already gives.
    std::string_view text = payloads[n].text;
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    section("── Crash payload " + std::to_string(n + 1) + ", written by Quimbel's crash handler ──",
            {std::string(text)});
  }

  const std::string header = "Quimbel report, made " + utc::minutes(now) + " on Quimbel " +
                             info.version + " (" + info.build + "), " + info.system + ", " +
                             info.model + ", " + info.arch + ".";
  const std::string privacy =
      "It holds no audio and nothing about your sounds. Times are UTC. Send it to " +
      std::string(kSupportAddress) + ".";
  return header + "\n" + privacy + "\n\n" + redaction.apply(join(body, "\n")) + "\n";
}

}  // namespace quimbel::crashreport
