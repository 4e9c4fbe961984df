#include "diagnostics/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "diagnostics/temp_folder.h"

namespace quimbel {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::system_clock;

// 2024-02-29 23:59:59.999 UTC, in milliseconds since the epoch.
constexpr std::int64_t kLeapDayMs = 1709251199999;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class DiagnosticsLogTest : public ::testing::Test {
 protected:
  fs::path folder() const { return temp_.path() / "state" / "Quimbel" / "Diagnostics"; }
  DiagnosticsLog& log() { return log_; }

  // A message that makes a log line of exactly `lineBytes` bytes (24 bytes
  // of time stamp and space, the message, the line feed).
  static std::string messageForLine(std::size_t lineBytes, char fill = 'x') {
    return std::string(lineBytes - 25, fill);
  }

  testing::TempFolder temp_;
  DiagnosticsLog log_{DiagnosticsStore{folder()}, Redaction({"Lovelace"}),
                      [] { return system_clock::time_point(milliseconds(kLeapDayMs)); }};
};

TEST(DiagnosticsLogTimestamp, IsUtcWithTruncatedMilliseconds) {
  const auto at = [](std::int64_t ms) { return system_clock::time_point(milliseconds(ms)); };
  EXPECT_EQ(DiagnosticsLog::formatTimestamp(at(0)), "1970-01-01 00:00:00.000");
  EXPECT_EQ(DiagnosticsLog::formatTimestamp(at(kLeapDayMs)), "2024-02-29 23:59:59.999");
  EXPECT_EQ(DiagnosticsLog::formatTimestamp(at(-1)), "1969-12-31 23:59:59.999");
  EXPECT_EQ(
      DiagnosticsLog::formatTimestamp(system_clock::time_point(std::chrono::microseconds(1999))),
      "1970-01-01 00:00:00.001");
}

TEST_F(DiagnosticsLogTest, WritesTimeStampedRedactedLinesIntoANewFolder) {
  log().write("[quimbel] launch by Lovelace from /home/ada/bin");
  log().write("second");
  EXPECT_EQ(log().url(), folder() / "quimbel.log");
  EXPECT_EQ(readFile(log().url()),
            "2024-02-29 23:59:59.999 [quimbel] launch by \u2039name\u203A from ~/bin\n"
            "2024-02-29 23:59:59.999 second\n");
}

TEST_F(DiagnosticsLogTest, OpensTheFileReadableByOthersAndClosedOnExec) {
  const mode_t oldMask = umask(022);
  log().write("one");
  umask(oldMask);
  struct stat info {};
  ASSERT_EQ(stat(log().url().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);

  int found = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec) != log().url()) continue;
    const int fd = std::stoi(entry.path().filename().string());
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    ++found;
  }
  EXPECT_EQ(found, 1) << "the log keeps exactly one descriptor open";
}

TEST_F(DiagnosticsLogTest, RotatesOnlyPastTheLimit) {
  const std::string kiloLine = messageForLine(1024);
  for (int i = 0; i < 256; ++i) log().write(kiloLine);  // exactly 256 KiB
  EXPECT_EQ(fs::file_size(log().url()), 262144u);
  EXPECT_FALSE(fs::exists(log().previousURL()));

  log().write(messageForLine(1024, 'y'));
  EXPECT_EQ(fs::file_size(log().previousURL()), 262144u);
  EXPECT_EQ(readFile(log().url()), "2024-02-29 23:59:59.999 " + messageForLine(1024, 'y') + "\n");
}

TEST_F(DiagnosticsLogTest, RotationReplacesTheOlderFile) {
  fs::create_directories(folder());
  writeFile(folder() / "quimbel.1.log", "oldest\n");
  writeFile(folder() / "quimbel.log", std::string(262000, 'o') + "\n");  // sized when opened
  log().write(messageForLine(1024));
  EXPECT_EQ(fs::file_size(log().previousURL()), 262001u);
  EXPECT_EQ(fs::file_size(log().url()), 1024u);
}

TEST_F(DiagnosticsLogTest, NeverRotatesAnEmptyFile) {
  log().write(std::string(300000, 'z'));
  EXPECT_FALSE(fs::exists(log().previousURL()));
  EXPECT_EQ(fs::file_size(log().url()), 300025u);
  log().write("after");
  EXPECT_EQ(fs::file_size(log().previousURL()), 300025u);
}

TEST_F(DiagnosticsLogTest, DropsLinesWhileTheFolderCannotBeMadeThenRecovers) {
  // A plain file where the folder's parent should be.
  fs::create_directories(folder().parent_path().parent_path());
  writeFile(folder().parent_path(), "in the way");
  log().write("lost");
  EXPECT_FALSE(fs::exists(log().url()));
  EXPECT_EQ(log().tail(1000), "");

  fs::remove(folder().parent_path());
  log().write("kept");
  EXPECT_EQ(readFile(log().url()), "2024-02-29 23:59:59.999 kept\n");
}

TEST_F(DiagnosticsLogTest, DropsALineTheDiskRefusesThenReopens) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  fs::create_directories(folder());
  fs::create_symlink("/dev/full", log().url());
  log().write("lost on a full disk");

  fs::remove(log().url());
  log().write("kept");
  EXPECT_EQ(readFile(log().url()), "2024-02-29 23:59:59.999 kept\n");
}

TEST_F(DiagnosticsLogTest, LastModifiedReadsTheCurrentFile) {
  EXPECT_FALSE(log().lastModified().has_value());
  log().write("one");
  const timespec times[2] = {{1700000000, 250000000}, {1700000000, 250000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, log().url().c_str(), times, 0), 0);
  EXPECT_EQ(log().lastModified(), system_clock::time_point(milliseconds(1700000000250)));
}

TEST(DiagnosticsLogDisabled, AnEmptyFolderWritesNothing) {
  DiagnosticsLog log(DiagnosticsStore{}, Redaction());
  log.write("nowhere");
  EXPECT_TRUE(log.url().empty());
  EXPECT_EQ(log.tail(100), "");
  EXPECT_FALSE(log.lastModified().has_value());
}

// Tail reading works on files laid down by hand, so each case states exactly
// what sits on disk.
class DiagnosticsLogTailTest : public DiagnosticsLogTest {
 protected:
  void lay(const std::string& previous, const std::string& current) {
    fs::create_directories(folder());
    if (!previous.empty()) writeFile(log().previousURL(), previous);
    if (!current.empty()) writeFile(log().url(), current);
  }
  // Lines of `width` bytes numbered from `first`, `bytes` in all.
  static std::string lines(std::size_t bytes, std::size_t width, int first = 0) {
    std::string text;
    for (int n = first; text.size() < bytes; ++n) {
      std::string line = std::to_string(n);
      line.resize(width - 1, '.');
      text += line + "\n";
    }
    text.resize(bytes);
    return text;
  }
};

TEST_F(DiagnosticsLogTailTest, JoinsBothFilesAndStartsOnAWholeLine) {
  const std::string previous = lines(200000, 80);
  const std::string current = lines(10000, 100, 5000);
  lay(previous, current);
  const std::string cut = previous.substr(200000 - 55536);
  ASSERT_NE(cut.front(), '\n');
  const std::string expected = cut.substr(cut.find('\n') + 1) + current;
  EXPECT_EQ(log().tail(65536), expected);
}

TEST_F(DiagnosticsLogTailTest, KeepsALineThatTheCutLeavesWhole) {
  lay(lines(800, 80), lines(400, 80, 10));
  // 1040 bytes from the end begin exactly at a line of the previous file.
  EXPECT_EQ(log().tail(1040), lines(800, 80).substr(160) + lines(400, 80, 10));
  // Everything fits exactly: nothing is dropped.
  EXPECT_EQ(log().tail(1200), lines(800, 80) + lines(400, 80, 10));
}

TEST_F(DiagnosticsLogTailTest, UsesOnlyTheCurrentFileWhenItHoldsEnough) {
  lay("previous\n", lines(500, 50));
  EXPECT_EQ(log().tail(500), lines(500, 50));
  EXPECT_EQ(log().tail(120), lines(500, 50).substr(400));
}

TEST_F(DiagnosticsLogTailTest, KeepsAllBytesWhenNoLineFeedFollowsTheCut) {
  lay("", std::string(300, 'a'));
  EXPECT_EQ(log().tail(100), std::string(100, 'a'));
}

TEST_F(DiagnosticsLogTailTest, ReplacesACharacterCutInTwo) {
  lay("", "\u00E9\u00E9\u00E9\u00E9\u00E9");  // ten bytes, no line feed
  EXPECT_EQ(log().tail(5), "\uFFFD\u00E9\u00E9");
  lay("", "line\n\u20AC");
  fs::resize_file(log().url(), 7);  // a torn last line
  EXPECT_EQ(log().tail(100), "line\n\uFFFD");
}

TEST_F(DiagnosticsLogTailTest, MissingFilesReadAsEmpty) {
  EXPECT_EQ(log().tail(65536), "");
  lay("only the previous\n", "");
  EXPECT_EQ(log().tail(65536), "only the previous\n");
  EXPECT_EQ(log().tail(0), "");
}

TEST_F(DiagnosticsLogTailTest, SeesWhatWasJustWritten) {
  log().write("alpha");
  log().write("beta");
  const std::string expected = "2024-02-29 23:59:59.999 beta\n";
  EXPECT_EQ(log().tail(expected.size() + 3), expected);
  EXPECT_EQ(log().perform([&] { return log().tail(expected.size()); }), expected);
}

}  // namespace
}  // namespace quimbel
