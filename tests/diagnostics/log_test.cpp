#include "diagnostics/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "diagnostics/temp_folder.h"

namespace quimbel {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::system_clock;

// 2024-02-29 23:59:59.999999 UTC: the stamp cuts, never rounds, to milliseconds.
const system_clock::time_point kLeapDay{std::chrono::microseconds(1709251199999999)};
const std::string kStamp = "2024-02-29 23:59:59.999 ";

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A message that makes a log line of exactly `lineBytes` bytes (24 bytes of
// time stamp and space, the message, the line feed).
std::string messageForLine(std::size_t lineBytes, char fill = 'x') {
  return std::string(lineBytes - 25, fill);
}

class DiagnosticsLogTest : public ::testing::Test {
 protected:
  fs::path folder() const { return temp_.path() / "state" / "Quimbel" / "Diagnostics"; }
  // Lays both files down by hand, so each tail case states exactly what is on disk.
  void lay(const std::string& previous, const std::string& current) {
    fs::create_directories(folder());
    writeFile(log_.previousURL(), previous);
    writeFile(log_.url(), current);
  }

  testing::TempFolder temp_;
  DiagnosticsLog log_{DiagnosticsStore{folder()}, Redaction({"Lovelace"}), [] { return kLeapDay; }};
};

TEST_F(DiagnosticsLogTest, WritesRedactedLinesIntoANewFolderOneDescriptorClosedOnExec) {
  EXPECT_FALSE(log_.lastModified().has_value());
  log_.write("[quimbel] launch by Lovelace from /home/ada/bin");
  log_.write("second");
  EXPECT_EQ(contents(log_.url()),
            kStamp + "[quimbel] launch by \u2039name\u203A from ~/bin\n" + kStamp + "second\n");
  std::vector<int> flags;  // of every descriptor open on the log
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
    if (fs::read_symlink(entry.path(), ec) == log_.url())
      flags.push_back(fcntl(std::stoi(entry.path().filename().string()), F_GETFD));
  EXPECT_EQ(flags, std::vector<int>{FD_CLOEXEC});
  const timespec times[2] = {{1700000000, 250000000}, {1700000000, 250000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, log_.url().c_str(), times, 0), 0);
  EXPECT_EQ(log_.lastModified(), system_clock::time_point(milliseconds(1700000000250)));
}

TEST_F(DiagnosticsLogTest, RotatesOnlyPastTheLimitReplacingTheOlderFile) {
  fs::create_directories(folder());
  writeFile(log_.previousURL(), "oldest\n");
  for (int i = 0; i < 256; ++i) log_.write(messageForLine(1024));  // exactly 256 KiB
  EXPECT_EQ(fs::file_size(log_.url()), 262144u);
  EXPECT_EQ(contents(log_.previousURL()), "oldest\n");
  log_.write(messageForLine(1024, 'y'));
  EXPECT_EQ(fs::file_size(log_.previousURL()), 262144u);
  EXPECT_EQ(contents(log_.url()), kStamp + messageForLine(1024, 'y') + "\n");
}

TEST_F(DiagnosticsLogTest, NeverRotatesAnEmptyFile) {
  log_.write(std::string(300000, 'z'));
  EXPECT_FALSE(fs::exists(log_.previousURL()));
  log_.write("after");
  EXPECT_EQ(fs::file_size(log_.previousURL()), 300025u);
}

TEST_F(DiagnosticsLogTest, DropsLinesItCannotWriteThenRecovers) {
  fs::create_directories(folder());
  fs::create_symlink("/dev/full", log_.url());
  log_.write("lost on a full disk");
  fs::remove(log_.url());
  log_.write("kept");
  EXPECT_EQ(contents(log_.url()), kStamp + "kept\n");
}

TEST(DiagnosticsLogDisabled, AnEmptyFolderWritesNothing) {
  DiagnosticsLog log(DiagnosticsStore{}, Redaction());
  log.write("nowhere");
  EXPECT_EQ(log.tail(100), "");
}

TEST_F(DiagnosticsLogTest, TailJoinsBothFilesStartsOnAWholeLineAndReplacesACharacterCutInTwo) {
  EXPECT_EQ(log_.tail(100), "");  // missing files read as empty
  lay("p0\np1\np2\n", "c0\nc1\n");
  EXPECT_EQ(log_.tail(5), "c1\n");               // the current file alone holds enough
  EXPECT_EQ(log_.tail(11), "p2\nc0\nc1\n");      // cut inside "p1": that line goes
  EXPECT_EQ(log_.tail(12), "p1\np2\nc0\nc1\n");  // cut just after a line feed: all kept
  lay("", std::string(300, 'a'));                // no line feed after the cut: all bytes stay
  EXPECT_EQ(log_.tail(100), std::string(100, 'a'));
  // A character cut in two by the start or a torn last line is replaced.
  lay("", "\u00E9\u00E9\u00E9\u00E9\u00E9");  // ten bytes, no line feed
  EXPECT_EQ(log_.tail(5), "\uFFFD\u00E9\u00E9");
  lay("", "line\n\u20AC");
  fs::resize_file(log_.url(), 7);  // a torn last line
  EXPECT_EQ(log_.tail(100), "line\n\uFFFD");
}

}  // namespace
}  // namespace quimbel
