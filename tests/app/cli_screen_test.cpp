#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QImage>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string tempPath(const std::string& name) { return ::testing::TempDir() + name; }

// Writes the snapshot and runs `quimbel screen` on it with the extra arguments
// (trusted test literals).
Outcome runScreen(const std::string& snapshot, const std::string& args = "") {
  const std::string snapshotPath = tempPath("quimbel_screen_snapshot.json");
  std::ofstream(snapshotPath) << snapshot;
  const std::string errPath = tempPath("quimbel_screen_stderr.txt");
  const std::string command = std::string("'") + QUIMBEL_EXE + "' screen '" + snapshotPath + "' " +
                              args + " 2>'" + errPath + "'";
  Outcome run;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> buffer;
  while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) {
    run.out.append(buffer.data(), n);
  }
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  std::stringstream text;
  text << std::ifstream(errPath).rdbuf();
  run.err = text.str();
  return run;
}

std::vector<std::vector<std::string>> tokens(const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> row;
    std::istringstream words(line);
    for (std::string word; words >> word;) row.push_back(word);
    rows.push_back(row);
  }
  return rows;
}

const char kKeyOnly[] =
    R"({"key": {"tonic": 0, "mode": "major"}, "shown": null, "state": "ready", "countN": 0,
        "recAt": -1e9, "knob": null, "volume": null, "sheet": [], "legend": null})";

TEST(CliScreenTest, PrintsThirtyTwoRowsOfHexOrDots) {
  const Outcome run = runScreen(kKeyOnly);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto rows = tokens(run.out);
  ASSERT_EQ(rows.size(), 32u);
  for (const auto& row : rows) ASSERT_EQ(row.size(), 32u);
  EXPECT_EQ(rows[0][0], ".");
  EXPECT_EQ(rows[3][14], "a8a8a8");  // the key name's C
  EXPECT_EQ(rows[29][3], "ff5526");  // the lit C key
  EXPECT_EQ(rows[23][5], "3c3c3c");  // an unlit black key
  EXPECT_EQ(run.out.find("  "), std::string::npos);
}

TEST(CliScreenTest, NowDrivesTheRecordingFlash) {
  const Outcome run = runScreen(R"({"state": "rec", "recAt": 1000})", "--now 1100");
  ASSERT_EQ(run.status, 0) << run.err;
  const auto rows = tokens(run.out);
  ASSERT_EQ(rows.size(), 32u);
  EXPECT_EQ(rows[1][1], "3d2521");
  EXPECT_EQ(rows[31][31], "843426");
}

TEST(CliScreenTest, PngShowsCellsWithOnePixelGridLines) {
  const std::string png = tempPath("quimbel_screen.png");
  std::filesystem::remove(png);
  const Outcome run = runScreen(kKeyOnly, "--png '" + png + "' --scale 4");
  ASSERT_EQ(run.status, 0) << run.err;
  const QImage image(QString::fromStdString(png));
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.width(), 127);
  EXPECT_EQ(image.height(), 127);
  EXPECT_EQ(image.pixel(0, 0) & 0xFFFFFF, 0x1F1F1Fu);  // empty cell (0, 0)
  EXPECT_EQ(image.pixel(3, 0) & 0xFFFFFF, 0x121212u);  // grid line after it
  EXPECT_EQ(image.pixel(3 * 4 + 1, 29 * 4 + 2) & 0xFFFFFF, 0xFF5526u);
}

TEST(CliScreenTest, BadInputNamesTheFieldAndExitsTwo) {
  struct Case {
    std::string snapshot;
    std::string args;
    std::string message;
  };
  const Case cases[] = {
      {R"({"knob": 9})", "", "knob: must be -5 to 5 or null"},
      {R"({"key": {"tonic": 12, "mode": "major"}})", "", "key.tonic: must be 0 to 11"},
      {R"({"sheet": [{"notes": [60], "name": "C", "color": "#ff552"}]})", "",
       "sheet[0].color: must be \"#rrggbb\""},
      {R"({"legend": {"seventh": true, "ninth": 1, "strum": false}})", "",
       "legend.ninth: must be true or false"},
      {R"({"state": "playing"})", "", "state: must be"},
      {"{", "", "is not valid JSON"},
      {"{}", "--scale 0", "--scale: must be a whole number"},
  };
  for (const Case& c : cases) {
    const Outcome run = runScreen(c.snapshot, c.args);
    EXPECT_EQ(run.status, 2) << c.snapshot;
    EXPECT_EQ(run.err.rfind("quimbel: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty());
  }
}

TEST(CliScreenTest, UnwritablePictureExitsOneAndWritesNothing) {
  const Outcome run = runScreen("{}", "--png '" + tempPath("no such folder/x.png") + "'");
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(std::filesystem::exists(tempPath("no such folder")));
}

}  // namespace
