#include "diagnostics/redaction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnostics/utf8.h"

namespace quimbel {
namespace {

const std::string kName = "\u2039name\u203A", kDisk = "/media/\u2039disk\u203A";

// An account "adalove" whose full name has three words: "Ada" is too short to
// be hidden, "King" is just long enough.
TEST(Redaction, ReplacesOnlyWhatIsPrivate) {
  const Redaction account(Redaction::accountNames("adalove", "Ada King Lovelace"));
  const struct {
    const char* rule;
    std::string input, expected;
  } cases[] = {
      // clang-format off
      {"home folder", "loaded /Users/zed/Music/a.caf", "loaded ~/Music/a.caf"},
      {"folder name ends at punctuation", "\"/Users/z1\" (/Users/z2) /Users/z3:1,/Users/z4;", "\"~\" (~) ~:1,~;"},
      {"folder name ends at curly quotes", "\u201C/Users/zed\u201D", "\u201C~\u201D"},
      {"volume name keeps its spaces", "/Volumes/My Disk/a.mid", "/Volumes/\u2039disk\u203A/a.mid"},
      {"volume name ends at a quote", "\"/Volumes/Big One\" full", "\"/Volumes/\u2039disk\u203A\" full"},
      {"Linux home folder", "opened /home/zed/.config/x (ok)", "opened ~/.config/x (ok)"},
      {"removable disk under /media", "saved /media/zed/USB STICK/take.wav", "saved " + kDisk + "/take.wav"},
      {"removable disk under /run/media", "saved /run/media/zed/Disk 2/t.wav", "saved " + kDisk + "/t.wav"},
      {"capital address", "MAIL ADA_K+X@MAIL.EXAMPLE.CO.UK NOW", "MAIL \u2039email\u203A NOW"},
      {"address holding a name goes whole", "lovelace@example.com.", "\u2039email\u203A."},
      {"one-letter top-level domain is no address", "a@b.c", "a@b.c"},
      {"full name before its words", "by Ada King Lovelace today", "by " + kName + " today"},
      {"words of four letters or more, any case", "KING met lovelace", kName + " met " + kName},
      {"three letters are never hidden", "Ada and ada", "Ada and ada"},
      {"not inside a longer word or by a digit", "Kingdom King2 3King", "Kingdom King2 3King"},
      {"punctuation does not protect it", "_King_ adalove.", "_" + kName + "_ " + kName + "."},
      {"an accented letter protects it", "éKing Kingé", "éKing Kingé"},
      {"owner of a device", "Grace's iPhone, Eve\u2019s MacBook", kName + "'s iPhone, " + kName + "\u2019s MacBook"},
      {"hyphenated owner", "Mary-Jane's iPad", kName + "'s iPad"},
      {"excluded words stay", "Apple's iPad, It's Here, Music's X", "Apple's iPad, It's Here, Music's X"},
      {"an excluded word only as a whole word", "Itemize's iPod", kName + "'s iPod"},
      {"lower-case owner is no device name", "grace's iPhone", "grace's iPhone"},
      {"lower-case owner that is the user's name", "lovelace's iPhone", kName + "'s iPhone"},
      {"no capitalised word after", "Grace's idea", "Grace's idea"},
      // clang-format on
  };
  for (const auto& c : cases) EXPECT_EQ(account.apply(c.input), c.expected) << c.rule;
  // Ill-formed input comes out well-formed.
  const std::string output = account.apply(std::string("King \xC3 /Users/\xFF\xFE/x \xE2\x82"));
  EXPECT_TRUE(diagnostics::isValidUtf8(output));
  EXPECT_EQ(output, kName + " \uFFFD ~/x \uFFFD");
}

TEST(Redaction, TitlesAndNamesAreLiteralLongestFirstAndCountCharacters) {
  EXPECT_EQ(Redaction({}, {"Secret Song"}).apply("Secret Song / secret song"),
            "\u2039clip\u203A / secret song");
  EXPECT_EQ(Redaction({"a.b+c", "(x|y)"}).apply("a.b+c aXb+c (x|y) x"),
            kName + " aXb+c " + kName + " x");
  EXPECT_EQ(Redaction({"Anna", "Anna Maria"}).apply("Anna Maria"), kName);
  // "Zoë" with a combining diaeresis is three characters.
  EXPECT_EQ(Redaction({"Zoe\u0308", "J\u00FCrgen"}).apply("Zoe\u0308 J\u00DCRGEN"),
            "Zoe\u0308 " + kName);
}

TEST(Redaction, AccountNamesListEachEntryOnceStartingWithTheUser) {
  using Names = std::vector<std::string>;
  EXPECT_EQ(Redaction::accountNames("king", "  King   King\tLovelace "),
            (Names{"king", "King   King\tLovelace", "King", "Lovelace"}));
  EXPECT_EQ(Redaction::accountNames("ada", "ada"), (Names{"ada"}));
  const Redaction redaction = Redaction::forAccount();  // from the password database
  ASSERT_FALSE(redaction.names().empty());
  const std::string& user = redaction.names().front();
  if (user.size() > 3) {
    EXPECT_EQ(redaction.apply("~" + user + "!"), "~" + kName + "!");
  }
}

}  // namespace
}  // namespace quimbel
