#include "diagnostics/crash_payload.h"

#include <signal.h>

#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include "diagnostics/module_table.h"

namespace quimbel::diagnostics {
namespace {

int exceptionTypeOf(int signal) {
  switch (signal) {
    case SIGSEGV:
    case SIGBUS:
      return 1;  // EXC_BAD_ACCESS
    case SIGILL:
      return 2;  // EXC_BAD_INSTRUCTION
    case SIGFPE:
      return 3;  // EXC_ARITHMETIC
    case SIGTRAP:
      return 6;  // EXC_BREAKPOINT
    default:
      return 10;  // EXC_CRASH, as for an abort
  }
}

const char* signalDescription(int signal) {
  switch (signal) {
    case SIGSEGV:
      return "Segmentation fault";
    case SIGBUS:
      return "Bus error";
    case SIGILL:
      return "Illegal instruction";
    case SIGFPE:
      return "Floating point exception";
    case SIGTRAP:
      return "Trace/breakpoint trap";
    case SIGABRT:
      return "Abort trap";
    default:
      return "Signal";
  }
}

}  // namespace

std::string jsonEscaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
      out += code;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string newUuid() {
  std::random_device device;
  std::uniform_int_distribution<int> nibble(0, 15);
  const char* hex = "0123456789ABCDEF";
  std::string uuid;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) uuid.push_back('-');
    int value = nibble(device);
    if (i == 12) value = 4;                // version 4: random
    if (i == 16) value = 8 | (value & 3);  // the RFC 4122 variant
    uuid.push_back(hex[value]);
  }
  return uuid;
}

// Computed by hand: no library time call is safe in a signal handler.
void putTimeStamp(PayloadOut& out) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t secs = now.tv_sec;
  std::int64_t days = secs / 86400;
  std::int64_t rest = secs % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  const std::int64_t year = yoe + era * 400 + (month <= 2);
  out.number(static_cast<std::uint64_t>(year));
  out.put("-");
  out.twoDigits(month);
  out.put("-");
  out.twoDigits(day);
  out.put(" ");
  out.twoDigits(static_cast<unsigned>(rest / 3600));
  out.put(":");
  out.twoDigits(static_cast<unsigned>(rest / 60 % 60));
  out.put(":");
  out.twoDigits(static_cast<unsigned>(rest % 60));
  out.put(" +0000");
}

void putStack(PayloadOut& out, void* const* frames, int count) {
  const LoadedModules* modules = loadedModules();
  out.put("{\"threadAttributed\":true,\"callStackRootFrames\":[");
  for (int i = 0; i < count; ++i) {
    const auto address = reinterpret_cast<std::uintptr_t>(frames[i]);
    if (i) out.put(",\"subFrames\":[");
    out.put("{");
    const LoadedModule* found = modules ? modules->find(address) : nullptr;
    if (found) {
      out.put("\"binaryName\":\"");
      out.put(found->name);
      out.put("\",\"binaryUUID\":\"");
      out.put(found->buildId);
      out.put("\",\"offsetIntoBinaryTextSegment\":");
      out.number(address - found->bias);
      out.put(",");
    }
    out.put("\"address\":");
    out.number(address);
    out.put(",\"sampleCount\":1");
  }
  for (int i = 0; i < count; ++i) out.put(i + 1 < count ? "}]" : "}");
  out.put("]}");
}

void putCrashPayload(PayloadOut& out, const char* metaData, int signal, void* const* frames,
                     int count) {
  out.put("{\"timeStampEnd\":\"");
  putTimeStamp(out);
  out.put("\",\"crashDiagnostics\":[{\"diagnosticMetaData\":{");
  out.put(metaData);
  out.put(",\"signal\":");
  out.number(static_cast<std::uint64_t>(signal));
  out.put(",\"exceptionType\":");
  out.number(static_cast<std::uint64_t>(exceptionTypeOf(signal)));
  out.put(",\"terminationReason\":\"Namespace SIGNAL, Code ");
  out.number(static_cast<std::uint64_t>(signal));
  out.put(", ");
  out.put(signalDescription(signal));
  out.put("\"},\"callStackTree\":{\"callStackPerThread\":true,\"callStacks\":[");
  putStack(out, frames, count);
  out.put("]}}]}\n");
}

std::string payloadMetaData(const AppInfo& info) {
  return "\"appVersion\":\"" + jsonEscaped(info.version) + "\",\"appBuildVersion\":\"" +
         jsonEscaped(info.build) + "\",\"platformArchitecture\":\"" + jsonEscaped(info.arch) +
         "\",\"osVersion\":\"" + jsonEscaped(info.system) + "\"";
}

std::string hangPayload(const AppInfo& info, double seconds, void* const* frames, int count) {
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.1f s", seconds);
  std::string text = "{\"timeStampEnd\":\"";
  std::vector<char> buffer(kPayloadBytes);
  PayloadOut out{buffer.data(), buffer.data() + buffer.size()};
  putTimeStamp(out);
  text.append(buffer.data(), out.at);
  text += "\",\"hangDiagnostics\":[{\"diagnosticMetaData\":{" + payloadMetaData(info) +
          ",\"hangDuration\":\"" + duration +
          "\"},\"callStackTree\":{\"callStackPerThread\":true,\"callStacks\":[";
  if (count > 0) {
    out = PayloadOut{buffer.data(), buffer.data() + buffer.size()};
    putStack(out, frames, count);
    text.append(buffer.data(), out.at);
  }
  text += "]}}]}\n";
  return text;
}

}  // namespace quimbel::diagnostics
