// The redaction finds e-mail addresses and device owners without rescanning
// long runs of word characters; it must still find exactly what the plain
// patterns find with an ordinary left-to-right search. Compared here against
// PCRE2's own global substitution on many short random lines built from the
// characters that matter to those patterns.

#define PCRE2_CODE_UNIT_WIDTH 8
#include <gtest/gtest.h>
#include <pcre2.h>

#include <random>
#include <string>
#include <vector>

#include "diagnostics/redaction.h"

namespace quimbel {
namespace {

std::string substituteAll(const char* pattern, std::uint32_t options, const std::string& text,
                          const std::string& replacement) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                   options | PCRE2_UTF | PCRE2_UCP, &error, &offset, nullptr);
  EXPECT_NE(code, nullptr) << pattern;
  std::string output(text.size() * 4 + 256, '\0');
  PCRE2_SIZE length = output.size();
  const int rc =
      pcre2_substitute(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0,
                       PCRE2_SUBSTITUTE_GLOBAL | PCRE2_SUBSTITUTE_LITERAL, nullptr, nullptr,
                       reinterpret_cast<PCRE2_SPTR>(replacement.data()), replacement.size(),
                       reinterpret_cast<PCRE2_UCHAR*>(output.data()), &length);
  pcre2_code_free(code);
  EXPECT_GE(rc, 0);
  output.resize(length);
  return output;
}

// The address and device-owner patterns exactly as the log documents them.
std::string plainSearch(std::string text) {
  text = substituteAll("[A-Z0-9._%+\\-]+@[A-Z0-9.\\-]+\\.[A-Z]{2,}", PCRE2_CASELESS, text,
                       "\u2039email\u203A");
  return substituteAll(
      "(?<![\\p{L}\\p{N}])(?!(?:It|That|There|What|Here|Who|Where|Let|He|She|Mac|Apple|Spotify|"
      "Safari|Chrome|Music|Oddmark)['\u2019])\\p{Lu}\\p{Ll}[\\p{L}\\p{M}\\-]*(?=['\u2019]s "
      "(?:\\p{Lu}|iPhone|iPad|iMac|iPod))",
      0, text, "\u2039name\u203A");
}

TEST(RedactionSearch, FindsWhatThePlainPatternsFind) {
  const std::vector<std::string> pieces = {
      "a",      "b", "A",      "G",      "It", "Mac", "r", "s",   "-",        "'",
      "\u2019", " ", "@",      ".",      "_",  "%",   "+", "7",   "é",        "É",
      "\u0301", "ſ", "\u212A", "iPhone", "co", "/",   "K", "'s ", "\u2019s ", "Ada"};
  std::mt19937 random(20240229);
  std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 24);
  const Redaction redaction;
  int differences = 0;
  for (int n = 0; n < 20000 && differences < 5; ++n) {
    std::string text;
    for (int i = length(random); i > 0; --i) text += pieces[piece(random)];
    const std::string expected = plainSearch(text), actual = redaction.apply(text);
    if (actual != expected && ++differences)
      ADD_FAILURE() << "input: " << text << "\nplain: " << expected << "\nfound: " << actual;
  }
}

TEST(RedactionSearch, HandlesLongRunsOfWordCharacters) {
  std::string dotted, hyphened;
  for (int i = 0; i < 100000; ++i) dotted += "a.", hyphened += "Aa-";
  const Redaction redaction;
  EXPECT_EQ(redaction.apply(dotted + "@x.org " + hyphened + "Bo's iPad"),
            "\u2039email\u203A \u2039name\u203A's iPad");
  EXPECT_EQ(redaction.apply(dotted + " mail a@b.cc"), dotted + " mail \u2039email\u203A");
}

}  // namespace
}  // namespace quimbel
