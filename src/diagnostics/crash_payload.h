#pragma once

// The payload files the crash reporter reads from "Pending": a crash's,
// written by the signal handler, and a hang's, written by the watchdog. Each
// holds a time stamp, the program's version and the stack as nested frames,
// named by the loaded modules.
//
// Thread contract: PayloadOut, putTimeStamp, putStack and putCrashPayload are
// async-signal-safe: they write into the caller's buffer, never allocate and
// read the module table without a lock. Everything else allocates and runs
// outside any signal handler, on any thread.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "diagnostics/app_info.h"

namespace quimbel::diagnostics {

// The deepest stack a payload records, and the most a payload may hold.
constexpr int kMaxFrames = 128;
constexpr std::size_t kPayloadBytes = 128 * 1024;

// Text written into a fixed buffer; whatever does not fit is dropped, and a
// full buffer (at == end) tells the writer the payload was cut short.
struct PayloadOut {
  char* at;
  char* end;

  void put(const char* text) {
    while (*text && at < end) *at++ = *text++;
  }
  void number(std::uint64_t value) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value);
    while (n && at < end) *at++ = digits[--n];
  }
  void twoDigits(unsigned value) {
    if (end - at < 2) return;
    *at++ = static_cast<char>('0' + value / 10 % 10);
    *at++ = static_cast<char>('0' + value % 10);
  }
};

// "yyyy-MM-dd HH:mm:ss +0000" for now, in UTC.
void putTimeStamp(PayloadOut& out);
// The call stack as nested frames: the innermost frame is the root and each
// caller is the one sub-frame of its callee.
void putStack(PayloadOut& out, void* const* frames, int count);
// A whole crash payload for `signal`: `metaData` is payloadMetaData's text,
// `frames` the crashing thread's stack from the faulting instruction out.
void putCrashPayload(PayloadOut& out, const char* metaData, int signal, void* const* frames,
                     int count);

// JSON string contents with quotes, backslashes and control characters escaped.
std::string jsonEscaped(std::string_view text);

// Copies text into a fixed array, cut to fit and always terminated.
template <std::size_t N>
void copyInto(char (&target)[N], std::string_view text) {
  const std::size_t n = std::min(text.size(), N - 1);
  std::memcpy(target, text.data(), n);
  target[n] = '\0';
}

// The fixed part of a payload's "diagnosticMetaData", without braces.
std::string payloadMetaData(const AppInfo& info);

// The whole payload of a hang of `seconds` so far, with the main thread's
// stack as sampled when it was noticed (none when count is 0).
std::string hangPayload(const AppInfo& info, double seconds, void* const* frames, int count);

// A random version-4 UUID in upper case: each payload file is named
// "metrickit-<UUID>.json".
std::string newUuid();

}  // namespace quimbel::diagnostics
