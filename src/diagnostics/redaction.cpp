#include "diagnostics/redaction.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "diagnostics/utf8.h"

namespace quimbel {
namespace {

using Code = std::shared_ptr<const pcre2_code>;

// White space as the log's patterns mean it: tab, line feed, form feed,
// carriage return and every Unicode separator.
constexpr std::string_view kSpace = "\\t\\n\\f\\r\\p{Z}";

// Characters that end a user folder's name in a path.
const std::string kUserNameChar =
    std::string("[^/") + std::string(kSpace) + "\"'\u201C\u201D\u2018\u2019:,;()\\[\\]]";
// Characters of a volume name: spaces allowed, a path or a quote ends it.
constexpr std::string_view kVolumeNameChar = "[^/\\n\"\u201C\u201D]";

constexpr std::string_view kExcludedOwners[] = {
    "It",  "That", "There", "What",    "Here",   "Who",    "Where", "Let",     "He",
    "She", "Mac",  "Apple", "Spotify", "Safari", "Chrome", "Music", "Oddmark",
};

Code compile(std::string_view pattern, std::uint32_t options) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   options | PCRE2_UTF | PCRE2_UCP, &error, &offset, nullptr);
  if (code == nullptr) return nullptr;
  return Code(code, [](const pcre2_code* c) { pcre2_code_free(const_cast<pcre2_code*>(c)); });
}

// Escapes a name so that it matches itself literally inside a pattern.
std::string escapeLiteral(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 || (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= 'a' && byte <= 'z')) {
      escaped.push_back(c);
    } else if (byte < 0x20 || byte == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x{%02x}", byte);
      escaped.append(hex);
    } else {
      escaped.push_back('\\');  // a backslash before punctuation is always literal
      escaped.push_back(c);
    }
  }
  return escaped;
}

// Calls `found(start, end)` for each match of `code` in well-formed `text`.
template <class Found>
void forEachMatch(const pcre2_code* code, std::string_view text, Found&& found) {
  if (code == nullptr) return;
  pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
  if (data == nullptr) return;
  PCRE2_SIZE start = 0;
  while (start <= text.size()) {
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), start,
                               PCRE2_NO_UTF_CHECK, data, nullptr);
    if (rc < 0) break;
    const PCRE2_SIZE* range = pcre2_get_ovector_pointer(data);
    found(range[0], range[1]);
    if (range[1] > range[0]) {
      start = range[1];
    } else {
      // Step over one whole character after an empty match.
      start = range[1] + 1;
      while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
        ++start;
    }
  }
  pcre2_match_data_free(data);
}

// Length in user-perceived characters (extended grapheme clusters), so that
// "Zoë" written with a combining diaeresis still counts three.
std::size_t characterCount(std::string_view text) {
  static const Code cluster = compile("\\X", 0);
  std::size_t count = 0;
  forEachMatch(cluster.get(), text, [&](std::size_t start, std::size_t end) {
    if (end > start) ++count;
  });
  return count;
}

}  // namespace

struct Redaction::Step {
  Code code;
  std::string replacement;
};

namespace {

void addStep(std::vector<Redaction::Step>& steps, std::string_view pattern, std::uint32_t options,
             std::string replacement) {
  // A pattern that does not compile is skipped: the text passes unchanged.
  if (Code code = compile(pattern, options))
    steps.push_back({std::move(code), std::move(replacement)});
}

// Whole-word steps for the entries longer than three characters, longest
// first so that a full name goes before its own words.
void addWordSteps(std::vector<Redaction::Step>& steps, const std::vector<std::string>& entries,
                  std::uint32_t options, const std::string& replacement) {
  std::vector<std::pair<std::size_t, std::string>> words;
  for (const std::string& entry : entries) {
    std::string word = diagnostics::decodeUtf8Lossy(entry);
    const std::size_t length = characterCount(word);
    if (length > 3) words.emplace_back(length, std::move(word));
  }
  std::stable_sort(words.begin(), words.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  for (const auto& [length, word] : words) {
    addStep(steps, "(?<![\\p{L}\\p{N}])" + escapeLiteral(word) + "(?![\\p{L}\\p{N}])", options,
            replacement);
  }
}

std::vector<Redaction::Step> buildSteps(const std::vector<std::string>& names,
                                        const std::vector<std::string>& titles) {
  std::vector<Redaction::Step> steps;
  addStep(steps, "/Users/" + kUserNameChar + "+", 0, "~");
  addStep(steps, "/home/" + kUserNameChar + "+", 0, "~");
  addStep(steps, "/Volumes/" + std::string(kVolumeNameChar) + "+", 0, "/Volumes/\u2039disk\u203A");
  addStep(steps, "/(?:run/)?media/" + kUserNameChar + "+/" + std::string(kVolumeNameChar) + "+", 0,
          "/media/\u2039disk\u203A");
  addStep(steps, "[A-Z0-9._%+\\-]+@[A-Z0-9.\\-]+\\.[A-Z]{2,}", PCRE2_CASELESS, "\u2039email\u203A");
  addWordSteps(steps, titles, 0, "\u2039clip\u203A");
  addWordSteps(steps, names, PCRE2_CASELESS, "\u2039name\u203A");

  std::string excluded;
  for (const std::string_view word : kExcludedOwners) {
    if (!excluded.empty()) excluded.push_back('|');
    excluded.append(word);
  }
  addStep(steps,
          "(?<![\\p{L}\\p{N}])(?!(?:" + excluded +
              ")['\u2019])\\p{Lu}\\p{Ll}[\\p{L}\\p{M}\\-]*(?=['\u2019]s "
              "(?:\\p{Lu}|iPhone|iPad|iMac|iPod))",
          0, "\u2039name\u203A");
  return steps;
}

// Replaces every match of the step in `text`; on any matching error (such as
// the match limit on a pathological line) the step leaves the text as it was.
void substitute(const Redaction::Step& step, std::string& text) {
  const std::uint32_t options = PCRE2_SUBSTITUTE_GLOBAL | PCRE2_SUBSTITUTE_LITERAL |
                                PCRE2_SUBSTITUTE_OVERFLOW_LENGTH | PCRE2_NO_UTF_CHECK;
  std::string output(text.size() + 64, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    PCRE2_SIZE length = output.size();
    const int rc = pcre2_substitute(
        step.code.get(), reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, options,
        nullptr, nullptr, reinterpret_cast<PCRE2_SPTR>(step.replacement.data()),
        step.replacement.size(), reinterpret_cast<PCRE2_UCHAR*>(output.data()), &length);
    if (rc == PCRE2_ERROR_NOMEMORY) {
      output.resize(length);  // the length needed, thanks to OVERFLOW_LENGTH
      continue;
    }
    if (rc > 0) {
      output.resize(length);
      text.swap(output);
    }
    return;
  }
}

}  // namespace

Redaction::Redaction(std::vector<std::string> names, std::vector<std::string> titles)
    : names_(std::move(names)),
      titles_(std::move(titles)),
      steps_(std::make_shared<const std::vector<Step>>(buildSteps(names_, titles_))) {}

std::string Redaction::apply(std::string_view text) const {
  std::string result = diagnostics::decodeUtf8Lossy(text);
  for (const Step& step : *steps_) substitute(step, result);
  return result;
}

std::vector<std::string> Redaction::accountNames(std::string_view userName,
                                                 std::string_view fullName) {
  std::vector<std::string> names;
  const auto add = [&](std::string_view entry) {
    if (entry.empty()) return;
    if (std::find(names.begin(), names.end(), entry) == names.end()) names.emplace_back(entry);
  };
  add(userName);
  while (!fullName.empty() && (fullName.front() == ' ' || fullName.front() == '\t')) {
    fullName.remove_prefix(1);
  }
  while (!fullName.empty() && (fullName.back() == ' ' || fullName.back() == '\t')) {
    fullName.remove_suffix(1);
  }
  const std::string full = diagnostics::decodeUtf8Lossy(fullName);
  add(full);
  static const Code space = compile("[" + std::string(kSpace) + "]+", 0);
  std::size_t wordStart = 0;
  forEachMatch(space.get(), full, [&](std::size_t start, std::size_t end) {
    add(std::string_view(full).substr(wordStart, start - wordStart));
    wordStart = end;
  });
  add(std::string_view(full).substr(wordStart));
  return names;
}

Redaction Redaction::forAccount() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return Redaction();
  }
  const std::string_view userName = found->pw_name != nullptr ? found->pw_name : "";
  std::string_view fullName = found->pw_gecos != nullptr ? found->pw_gecos : "";
  // The account's comment field holds the full name before its first comma.
  fullName = fullName.substr(0, fullName.find(','));
  return Redaction(accountNames(userName, fullName));
}

}  // namespace quimbel
