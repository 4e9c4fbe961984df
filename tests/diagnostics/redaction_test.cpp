#include "diagnostics/redaction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnostics/utf8.h"

namespace quimbel {
namespace {

struct Case {
  const char* rule;
  std::string input;
  std::string expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.rule; }

// An account "adalove" whose full name has three words: "Ada" is too short to
// be hidden, "King" is just long enough.
const Redaction& account() {
  static const Redaction redaction(Redaction::accountNames("adalove", "Ada King Lovelace"));
  return redaction;
}

class RedactionCases : public ::testing::TestWithParam<Case> {};

TEST_P(RedactionCases, ReplacesOnlyWhatIsPrivate) {
  EXPECT_EQ(account().apply(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RedactionCases,
    ::testing::Values(
        Case{"home folder becomes a tilde", "loaded /Users/zed/Music/a.caf",
             "loaded ~/Music/a.caf"},
        Case{"home folder name ends at a space", "at /Users/zed now", "at ~ now"},
        Case{"home folder name ends at punctuation",
             "a \"/Users/z1\" b '/Users/z2' (/Users/z3) [/Users/z4] /Users/z5:1,/Users/z6;",
             "a \"~\" b '~' (~) [~] ~:1,~;"},
        Case{"home folder name ends at curly quotes",
             "\u201C/Users/zed\u201D \u2018/Users/zed\u2019", "\u201C~\u201D \u2018~\u2019"},
        Case{"volume name keeps its spaces", "wrote /Volumes/My Backup Disk/Takes/a.mid",
             "wrote /Volumes/\u2039disk\u203A/Takes/a.mid"},
        Case{"volume name ends at a quote", "\"/Volumes/Big One\" full",
             "\"/Volumes/\u2039disk\u203A\" full"},
        Case{"Linux home folder becomes a tilde", "opened /home/zed/.config/x (ok)",
             "opened ~/.config/x (ok)"},
        Case{"removable disk under /media", "saved /media/zed/USB STICK/take.wav",
             "saved /media/\u2039disk\u203A/take.wav"},
        Case{"removable disk under /run/media", "saved /run/media/zed/Disk 2/take.wav",
             "saved /media/\u2039disk\u203A/take.wav"},
        Case{"user folder named after the user", "/Users/adalove/x and /home/lovelace/y",
             "~/x and ~/y"}));

INSTANTIATE_TEST_SUITE_P(
    Addresses, RedactionCases,
    ::testing::Values(
        Case{"lower-case address", "from ada.king@example.org.", "from \u2039email\u203A."},
        Case{"capital address", "MAIL ADA_K+X@MAIL.EXAMPLE.CO.UK NOW",
             "MAIL \u2039email\u203A NOW"},
        Case{"address holding a name goes as a whole", "lovelace@example.com", "\u2039email\u203A"},
        Case{"one-letter top-level domain is no address", "a@b.c", "a@b.c"}));

INSTANTIATE_TEST_SUITE_P(
    Names, RedactionCases,
    ::testing::Values(
        Case{"full name before its words", "by Ada King Lovelace today",
             "by \u2039name\u203A today"},
        Case{"words of four letters or more, any case", "KING met lovelace",
             "\u2039name\u203A met \u2039name\u203A"},
        Case{"three letters are never hidden", "Ada and ada", "Ada and ada"},
        Case{"not inside a longer word", "Kingdom of Lovelaces", "Kingdom of Lovelaces"},
        Case{"a digit touching the word protects it", "King2 3King", "King2 3King"},
        Case{"punctuation does not protect it", "_King_ adalove.",
             "_\u2039name\u203A_ \u2039name\u203A."},
        Case{"an accented letter touching the word protects it", "éKing Kingé", "éKing Kingé"}));

INSTANTIATE_TEST_SUITE_P(
    DeviceNames, RedactionCases,
    ::testing::Values(
        Case{"owner of a phone", "Grace's iPhone connected", "\u2039name\u203A's iPhone connected"},
        Case{"curly apostrophe and a capitalised model", "Grace\u2019s MacBook Pro",
             "\u2039name\u203A\u2019s MacBook Pro"},
        Case{"hyphenated owner", "Mary-Jane's iPad", "\u2039name\u203A's iPad"},
        Case{"excluded words stay", "Apple's iPad, It's Here, Music's Library, Oddmark's iMac",
             "Apple's iPad, It's Here, Music's Library, Oddmark's iMac"},
        Case{"an excluded word only as a whole word", "Itemize's iPod", "\u2039name\u203A's iPod"},
        Case{"lower-case owner is no device name", "grace's iPhone", "grace's iPhone"},
        Case{"lower-case owner that is the user's name", "lovelace's iPhone",
             "\u2039name\u203A's iPhone"},
        Case{"no capitalised word after", "Grace's idea", "Grace's idea"},
        Case{"all capitals is no owner's word", "GRACE's iPhone", "GRACE's iPhone"}));

TEST(Redaction, HidesTitlesCaseSensitively) {
  const Redaction redaction({}, {"Secret Song"});
  EXPECT_EQ(redaction.apply("playing Secret Song / secret song"),
            "playing \u2039clip\u203A / secret song");
}

TEST(Redaction, NamesAreLiteralNotPatterns) {
  const Redaction redaction({"a.b+c", "(x|y)"});
  EXPECT_EQ(redaction.apply("a.b+c aXb+c abbbc (x|y) x"),
            "\u2039name\u203A aXb+c abbbc \u2039name\u203A x");
}

TEST(Redaction, LongerNamesGoFirstWhateverTheirOrder) {
  const Redaction redaction({"Anna", "Anna Maria"});
  EXPECT_EQ(redaction.apply("Anna Maria"), "\u2039name\u203A");
}

TEST(Redaction, CountsCharactersNotBytes) {
  // "Zoë" with a combining diaeresis is four code points but three characters.
  const Redaction redaction({"Zoe\u0308", "J\u00FCrgen"});
  EXPECT_EQ(redaction.apply("Zoe\u0308 and J\u00DCRGEN"), "Zoe\u0308 and \u2039name\u203A");
}

TEST(Redaction, IllFormedInputComesOutWellFormed) {
  const std::string output = account().apply(std::string("King \xC3 /Users/\xFF\xFE/x \xE2\x82"));
  EXPECT_TRUE(diagnostics::isValidUtf8(output));
  EXPECT_EQ(output, "\u2039name\u203A \uFFFD ~/x \uFFFD");
}

TEST(Redaction, AccountNamesListEachEntryOnce) {
  using Names = std::vector<std::string>;
  EXPECT_EQ(Redaction::accountNames("king", "  King   King\tLovelace "),
            (Names{"king", "King   King\tLovelace", "King", "Lovelace"}));
  EXPECT_EQ(Redaction::accountNames("ada", ""), (Names{"ada"}));
  EXPECT_EQ(Redaction::accountNames("ada", "ada"), (Names{"ada"}));
}

TEST(Redaction, ForAccountHidesTheUserName) {
  const Redaction redaction = Redaction::forAccount();
  ASSERT_FALSE(redaction.names().empty());
  EXPECT_TRUE(redaction.titles().empty());
  const std::string& user = redaction.names().front();
  if (user.size() > 3) {
    EXPECT_EQ(redaction.apply("~" + user + "!"), "~\u2039name\u203A!");
  }
}

}  // namespace
}  // namespace quimbel
