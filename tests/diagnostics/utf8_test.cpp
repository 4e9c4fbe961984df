#include "diagnostics/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace quimbel::diagnostics {
namespace {

TEST(Utf8, ReplacesEachMaximalIllFormedPart) {
  const std::string x = "\uFFFD";
  const struct {
    const char* rule;
    std::string bytes, decoded;
  } cases[] = {
      // clang-format off
      {"well-formed text of every length", "a\u00E9\u20AC\U0001F3B9", "a\u00E9\u20AC\U0001F3B9"},
      {"truncated three-byte character is one part", "\xE2\x82x", x + "x"},
      {"overlong form", "\xE0\x80\xAF", x + x + x},
      {"surrogate", "\xED\xA0\x80", x + x + x},
      {"above U+10FFFF", "\xF4\x90\x80\x80", x + x + x + x},
      {"bytes never used", "\xC0\xF5\xFF", x + x + x},
      // clang-format on
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decodeUtf8Lossy(c.bytes), c.decoded) << c.rule;
    EXPECT_EQ(isValidUtf8(c.bytes), c.bytes == c.decoded) << c.rule;
  }
}

}  // namespace
}  // namespace quimbel::diagnostics
