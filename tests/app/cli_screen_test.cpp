#include <gtest/gtest.h>

#include <QImage>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/run_program.h"

namespace quimbel::testing {
namespace {

// A scratch file name of the running test's own: CTest runs these tests in
// parallel processes that share the temporary directory.
std::string scratchPath(const std::string& suffix) {
  return ::testing::TempDir() + "quimbel_" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name() + suffix;
}

// Writes the snapshot and runs `quimbel screen` on it with the extra arguments.
Outcome runScreen(const std::string& snapshot, std::vector<std::string> args = {}) {
  const std::string path = scratchPath("_snapshot.json");
  std::ofstream(path) << snapshot;
  args.insert(args.begin(), {"screen", path});
  return runQuimbel(args);
}

// The printed grid as rows of words.
std::vector<std::vector<std::string>> cells(const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    rows.emplace_back();
    for (std::string word; words >> word;) rows.back().push_back(word);
  }
  return rows;
}

const char kKeyOnly[] = R"({"key": {"tonic": 0, "mode": "major"}, "shown": null, "state": "ready",
    "countN": 0, "recAt": -1e9, "knob": null, "volume": null, "sheet": [], "legend": null})";

TEST(CliScreenTest, PrintsThirtyTwoRowsOfHexOrDotsAtTheGivenTimeOrAPngWithGridLines) {
  Outcome run = runScreen(kKeyOnly);
  ASSERT_EQ(run.status, 0) << run.err;
  auto rows = cells(run.out);
  ASSERT_EQ(rows.size(), 32u);
  for (const auto& row : rows) ASSERT_EQ(row.size(), 32u);
  EXPECT_EQ(std::tuple(rows[0][0], rows[3][14], rows[29][3]),
            std::tuple(".", "a8a8a8", "ff5526"));  // empty, the key name's C, the lit C key
  EXPECT_EQ(run.out.find("  "), std::string::npos);
  run = runScreen(R"({"state": "rec", "recAt": 1000})", {"--now", "1100"});
  rows = cells(run.out);
  ASSERT_EQ(rows.size(), 32u) << run.err;
  EXPECT_EQ(std::tuple(rows[1][1], rows[31][31]), std::tuple("3d2521", "843426"));

  const std::string png = scratchPath(".png");
  std::filesystem::remove(png);
  run = runScreen(kKeyOnly, {"--png", png, "--scale", "4"});
  ASSERT_EQ(run.status, 0) << run.err;
  const QImage image(QString::fromStdString(png));
  EXPECT_EQ(image.size(), QSize(127, 127));
  // Empty cell (0, 0), the grid line after it and the lit C key.
  EXPECT_EQ(std::tuple(image.pixel(0, 0) & 0xFFFFFF, image.pixel(3, 0) & 0xFFFFFF,
                       image.pixel(3 * 4 + 1, 29 * 4 + 2) & 0xFFFFFF),
            std::tuple(0x1F1F1Fu, 0x121212u, 0xFF5526u));
}

TEST(CliScreenTest, BadInputNamesTheFieldAndExitsTwoUnwritablePictureOne) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"knob": 9})", "knob: must be -5 to 5 or null"},
      {R"({"sheet": [{"notes": [60], "name": "C", "color": "#ff552"}]})",
       "sheet[0].color: must be \"#rrggbb\""},
      {R"({"legend": {"seventh": true, "ninth": 1, "strum": false}})", "legend.ninth: must be"},
      {"{", "is not valid JSON"},
  };
  for (const auto& [snapshot, message] : cases) {
    const Outcome run = runScreen(snapshot);
    EXPECT_EQ(run.status, 2) << snapshot;
    EXPECT_EQ(run.err.rfind("quimbel: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty());
  }
  EXPECT_EQ(runScreen("{}", {"--scale", "0"}).status, 2);
  const std::string missing = ::testing::TempDir() + "no such folder";
  EXPECT_EQ(runScreen("{}", {"--png", missing + "/x.png"}).status, 1);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

}  // namespace
}  // namespace quimbel::testing
