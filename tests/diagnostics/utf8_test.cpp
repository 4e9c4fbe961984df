#include "diagnostics/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace quimbel::diagnostics {
namespace {

struct Case {
  const char* rule;
  std::string bytes;
  std::string decoded;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.rule; }

class Utf8Cases : public ::testing::TestWithParam<Case> {};

TEST_P(Utf8Cases, ReplacesEachMaximalIllFormedPart) {
  const Case& c = GetParam();
  EXPECT_EQ(decodeUtf8Lossy(c.bytes), c.decoded);
  EXPECT_EQ(isValidUtf8(c.bytes), c.bytes == c.decoded);
  EXPECT_TRUE(isValidUtf8(decodeUtf8Lossy(c.bytes)));
}

const std::string kFFFD = "\uFFFD";

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Cases,
    ::testing::Values(Case{"well-formed text of every length", "a\u00E9\u20AC\U0001F3B9",
                           "a\u00E9\u20AC\U0001F3B9"},
                      Case{"embedded zero byte", std::string("a\0b", 3), std::string("a\0b", 3)},
                      Case{"lone continuation bytes one each", "\x80\xBF", kFFFD + kFFFD},
                      Case{"truncated three-byte character is one part", "\xE2\x82x", kFFFD + "x"},
                      Case{"truncated four-byte character at the end", "\xF0\x9F\x8E", kFFFD},
                      Case{"overlong two-byte form", "\xC0\xAF", kFFFD + kFFFD},
                      Case{"overlong three-byte form", "\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},
                      Case{"surrogate", "\xED\xA0\x80", kFFFD + kFFFD + kFFFD},
                      Case{"above U+10FFFF", "\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},
                      Case{"highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
                      Case{"bytes never used", "\xF5\xFF", kFFFD + kFFFD}));

}  // namespace
}  // namespace quimbel::diagnostics
