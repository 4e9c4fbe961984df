#include "diagnostics/redaction.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
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

// How a step finds its matches. All three give exactly the matches a plain
// left-to-right search for the step's pattern would; the run-based ones do it
// in linear time where the plain search would rescan a long run of word
// characters from each of its positions (a 64 KiB dotted token took seconds).
enum class Search {
  plain,
  // The pattern begins with a repeated class that it cannot leave except at
  // one fixed continuation: a match can only begin where a run of that class
  // begins, and when it fails there it fails everywhere in the run.
  runStart,
  // The pattern is a head, the rest of a run of a class, and a look-ahead
  // after the run: try the look-ahead once per run, then the head at each
  // position of the run.
  runEnd,
};

}  // namespace

struct Redaction::Step {
  Search search = Search::plain;
  Code code;   // the whole pattern (plain, runStart) or the head (runEnd)
  Code run;    // runStart, runEnd: one maximal run of the leading class
  Code after;  // runEnd: what must follow the run
  std::string replacement;
};

namespace {

using Ranges = std::vector<std::pair<std::size_t, std::size_t>>;

class Matcher {
 public:
  explicit Matcher(std::string_view text) : text_(text) {}
  ~Matcher() { pcre2_match_data_free(data_); }
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  // The first match at or after `from` (only at `from` when anchored).
  std::optional<std::pair<std::size_t, std::size_t>> find(const pcre2_code* code, std::size_t from,
                                                          bool anchored) {
    if (data_ == nullptr) data_ = pcre2_match_data_create(2, nullptr);
    if (data_ == nullptr || from > text_.size()) return std::nullopt;
    const int rc =
        pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text_.data()), text_.size(), from,
                    PCRE2_NO_UTF_CHECK | (anchored ? PCRE2_ANCHORED : 0), data_, nullptr);
    if (rc < 0) return std::nullopt;  // no match, or a matching limit: stop looking
    const PCRE2_SIZE* range = pcre2_get_ovector_pointer(data_);
    return std::make_pair(static_cast<std::size_t>(range[0]), static_cast<std::size_t>(range[1]));
  }

  std::size_t nextCharacter(std::size_t pos) const {
    ++pos;
    while (pos < text_.size() && (static_cast<unsigned char>(text_[pos]) & 0xC0) == 0x80) ++pos;
    return pos;
  }

 private:
  std::string_view text_;
  pcre2_match_data* data_ = nullptr;
};

Ranges findMatches(const Redaction::Step& step, std::string_view text) {
  Ranges ranges;
  Matcher matcher(text);
  std::size_t pos = 0;
  while (pos <= text.size()) {
    if (step.search == Search::plain) {
      const auto match = matcher.find(step.code.get(), pos, false);
      if (!match) break;
      ranges.push_back(*match);
      pos = match->second > match->first ? match->second : matcher.nextCharacter(match->second);
      continue;
    }
    const auto run = matcher.find(step.run.get(), pos, false);
    if (!run) break;
    if (step.search == Search::runStart) {
      const auto match = matcher.find(step.code.get(), run->first, true);
      if (match && match->second > match->first) {
        ranges.push_back(*match);
        pos = match->second;
      } else {
        pos = run->second;
      }
      continue;
    }
    if (matcher.find(step.after.get(), run->second, true)) {
      for (std::size_t start = run->first; start < run->second;
           start = matcher.nextCharacter(start)) {
        if (matcher.find(step.code.get(), start, true)) {
          ranges.emplace_back(start, run->second);
          break;
        }
      }
    }
    pos = run->second;
  }
  return ranges;
}

// Replaces each match of the step in `text` by the step's literal text.
void substitute(const Redaction::Step& step, std::string& text) {
  const Ranges ranges = findMatches(step, text);
  if (ranges.empty()) return;
  std::string output;
  output.reserve(text.size() + ranges.size() * step.replacement.size());
  std::size_t copied = 0;
  for (const auto& [start, end] : ranges) {
    output.append(text, copied, start - copied);
    output.append(step.replacement);
    copied = end;
  }
  output.append(text, copied, std::string::npos);
  text.swap(output);
}

void addStep(std::vector<Redaction::Step>& steps, std::string_view pattern, std::uint32_t options,
             std::string replacement) {
  // A pattern that does not compile is skipped: the text passes unchanged.
  if (Code code = compile(pattern, options)) {
    steps.push_back({Search::plain, std::move(code), nullptr, nullptr, std::move(replacement)});
  }
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

  // E-mail addresses: "[A-Z0-9._%+\-]+@[A-Z0-9.\-]+\.[A-Z]{2,}" in any case.
  // The local part's class excludes "@", so every start inside one run of
  // it meets the same "@" and the same domain.
  {
    const std::string localChar = "[A-Z0-9._%+\\-]";
    Code address = compile(localChar + "+@[A-Z0-9.\\-]+\\.[A-Z]{2,}", PCRE2_CASELESS);
    Code run = compile(localChar + "+", PCRE2_CASELESS);
    if (address && run) {
      steps.push_back(
          {Search::runStart, std::move(address), std::move(run), nullptr, "\u2039email\u203A"});
    }
  }

  addWordSteps(steps, titles, 0, "\u2039clip\u203A");
  addWordSteps(steps, names, PCRE2_CASELESS, "\u2039name\u203A");

  // Possessive device names ("Ada's iPhone"):
  // (?<![\p{L}\p{N}])(?!(?:It|That|…)['’])\p{Lu}\p{Ll}[\p{L}\p{M}\-]*
  //   (?=['’]s (?:\p{Lu}|iPhone|iPad|iMac|iPod))
  // The apostrophe is outside the word's class, so a match always runs to
  // the end of a run of that class, and the look-ahead belongs to the run.
  {
    std::string excluded;
    for (const std::string_view word : kExcludedOwners) {
      if (!excluded.empty()) excluded.push_back('|');
      excluded.append(word);
    }
    Code head = compile("(?<![\\p{L}\\p{N}])(?!(?:" + excluded + ")['\u2019])\\p{Lu}\\p{Ll}", 0);
    Code run = compile("[\\p{L}\\p{M}\\-]+", 0);
    Code after = compile("['\u2019]s (?:\\p{Lu}|iPhone|iPad|iMac|iPod)", 0);
    if (head && run && after) {
      steps.push_back(
          {Search::runEnd, std::move(head), std::move(run), std::move(after), "\u2039name\u203A"});
    }
  }
  return steps;
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
