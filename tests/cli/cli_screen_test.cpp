#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <iterator>
#include <sstream>

#include "cli/run_program.h"

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

// The printed grid's cells, row after row.
std::vector<std::string> cells(const std::string& out) {
  std::istringstream words(out);
  return {std::istream_iterator<std::string>(words), {}};
}

const char kKeyOnly[] = R"({"key": {"tonic": 0, "mode": "major"}, "shown": null, "state": "ready",
    "countN": 0, "recAt": -1e9, "knob": null, "volume": null, "sheet": [], "legend": null})";

TEST(CliScreenTest, PrintsThirtyTwoRowsOfHexOrDotsAtTheGivenTimeOrAPngWithGridLines) {
  const std::string grid = runScreen(kKeyOnly).out;
  const auto cell = cells(grid);
  ASSERT_EQ(std::tuple(std::ranges::count(grid, '\n'), cell.size()), std::tuple(32, 32u * 32u));
  // Empty, the key name's C, the lit C key.
  EXPECT_EQ(std::tuple(cell[0], cell[3 * 32 + 14], cell[29 * 32 + 3]),
            std::tuple(".", "a8a8a8", "ff5526"));
  const auto rec = cells(runScreen(R"({"state": "rec", "recAt": 1000})", {"--now", "1100"}).out);
  ASSERT_EQ(rec.size(), 32u * 32u);
  EXPECT_EQ(std::tuple(rec[1 * 32 + 1], rec[31 * 32 + 31]), std::tuple("3d2521", "843426"));

  const std::string png = scratchPath(".png");
  std::filesystem::remove(png);
  ASSERT_EQ(runScreen(kKeyOnly, {"--png", png, "--scale", "4"}).status, 0);
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
      {R"({"legend": {"seventh": true, "ninth": 1, "strum": false}})", "legend.ninth: must be"},
  };
  for (const auto& [snapshot, message] : cases) {
    const Outcome run = runScreen(snapshot);
    EXPECT_EQ(std::tuple(run.status, run.err.rfind("quimbel: ", 0), run.out),
              std::tuple(2, 0u, ""));
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
  }
  const std::string missing = ::testing::TempDir() + "no such folder";
  EXPECT_EQ(runScreen("{}", {"--png", missing + "/x.png"}).status, 1);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

}  // namespace
}  // namespace quimbel::testing
