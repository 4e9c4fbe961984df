// Feeds arbitrary log messages, and arbitrary user names, to the redaction:
// it must never crash or hang, well-formed text must come out well-formed,
// and the address and device-owner steps must find exactly what a plain
// left-to-right search for their patterns finds.
//
// Input: when it holds a line feed, the bytes before the first one are one
// more of the user's names (so names full of pattern syntax get tried) and
// the rest is the message; otherwise it is all message.

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "diagnostics/redaction.h"
#include "diagnostics/utf8.h"

using quimbel::Redaction;

namespace {

// Global literal substitution with PCRE2's own search, for comparison.
std::string substituteAll(const char* pattern, std::uint32_t options, const std::string& text,
                          const std::string& replacement) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                   options | PCRE2_UTF | PCRE2_UCP, &error, &offset, nullptr);
  if (code == nullptr) std::abort();
  std::string output(text.size() * 8 + 64, '\0');
  PCRE2_SIZE length = output.size();
  const int rc =
      pcre2_substitute(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0,
                       PCRE2_SUBSTITUTE_GLOBAL | PCRE2_SUBSTITUTE_LITERAL, nullptr, nullptr,
                       reinterpret_cast<PCRE2_SPTR>(replacement.data()), replacement.size(),
                       reinterpret_cast<PCRE2_UCHAR*>(output.data()), &length);
  pcre2_code_free(code);
  if (rc < 0) return text;
  output.resize(length);
  return output;
}

void fail(const char* what) {
  std::fprintf(stderr, "redaction: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Redaction account(Redaction::accountNames("adalove", "Ada King Lovelace"),
                                 {"Secret Song"});
  static const Redaction nobody;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  if (!quimbel::diagnostics::isValidUtf8(account.apply(input))) fail("ill-formed output");
  const std::size_t newline = input.find('\n');
  if (newline != std::string_view::npos) {
    const Redaction withName(
        Redaction::accountNames("adalove", std::string(input.substr(0, newline))));
    if (!quimbel::diagnostics::isValidUtf8(withName.apply(input.substr(newline + 1)))) {
      fail("ill-formed output with a fuzzed name");
    }
  }

  if (size <= 1024 && quimbel::diagnostics::isValidUtf8(input)) {
    const std::string kUserChar = "[^/\\t\\n\\f\\r\\p{Z}\"'\u201C\u201D\u2018\u2019:,;()\\[\\]]";
    const std::string kDiskChar = "[^/\\n\"\u201C\u201D]";
    std::string text(input);
    text = substituteAll(("/Users/" + kUserChar + "+").c_str(), 0, text, "~");
    text = substituteAll(("/home/" + kUserChar + "+").c_str(), 0, text, "~");
    text = substituteAll(("/Volumes/" + kDiskChar + "+").c_str(), 0, text,
                         "/Volumes/\u2039disk\u203A");
    text = substituteAll(("/(?:run/)?media/" + kUserChar + "+/" + kDiskChar + "+").c_str(), 0, text,
                         "/media/\u2039disk\u203A");
    text = substituteAll("[A-Z0-9._%+\\-]+@[A-Z0-9.\\-]+\\.[A-Z]{2,}", PCRE2_CASELESS, text,
                         "\u2039email\u203A");
    text = substituteAll(
        "(?<![\\p{L}\\p{N}])(?!(?:It|That|There|What|Here|Who|Where|Let|He|She|Mac|Apple|"
        "Spotify|Safari|Chrome|Music|Oddmark)['\u2019])\\p{Lu}\\p{Ll}[\\p{L}\\p{M}\\-]*"
        "(?=['\u2019]s (?:\\p{Lu}|iPhone|iPad|iMac|iPod))",
        0, text, "\u2039name\u203A");
    if (nobody.apply(input) != text) fail("differs from the plain patterns");
  }
  return 0;
}
