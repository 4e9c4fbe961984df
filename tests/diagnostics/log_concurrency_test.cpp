#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "diagnostics/log.h"
#include "diagnostics/temp_folder.h"

namespace quimbel {
namespace {

// True for "yyyy-MM-dd HH:mm:ss.SSS " at the start of `line`.
bool startsWithTimeStamp(std::string_view line) {
  constexpr std::string_view shape = "dddd-dd-dd dd:dd:dd.ddd ";
  if (line.size() < shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
  }
  return true;
}

// Text made only of whole time-stamped lines.
bool wholeLines(std::string_view text) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos || !startsWithTimeStamp(text)) return false;
    text.remove_prefix(end + 1);
  }
  return true;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Many threads write at once while another reads the tail: every line lands
// whole, none is lost across a rotation, and each thread's lines keep their
// order.
TEST(DiagnosticsLogConcurrency, EveryLineLandsWholeAndInOrder) {
  testing::TempFolder temp;
  DiagnosticsLog log(DiagnosticsStore{temp.path()}, Redaction({"Lovelace"}));
  constexpr int kThreads = 8;
  constexpr int kLinesPerThread = 400;
  // About 100 bytes a line: 320 000 bytes in all, so exactly one rotation.
  const std::string padding(60, '-');

  std::atomic<bool> writing{true};
  std::thread reader([&] {
    while (writing.load()) {
      const std::string tail = log.tail(4096);
      EXPECT_TRUE(wholeLines(tail)) << tail.substr(0, 200);
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int n = 0; n < kLinesPerThread; ++n) {
        log.write("t" + std::to_string(t) + " n" + std::to_string(n) + " Lovelace " + padding);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  writing = false;
  reader.join();

  ASSERT_TRUE(std::filesystem::exists(log.previousURL()));
  EXPECT_LE(std::filesystem::file_size(log.previousURL()), 262144u);
  std::istringstream all(readFile(log.previousURL()) + readFile(log.url()));
  std::map<int, int> nextOf;
  int count = 0;
  for (std::string line; std::getline(all, line); ++count) {
    int t = -1, n = -1, used = 0;
    ASSERT_TRUE(startsWithTimeStamp(line)) << line;
    ASSERT_EQ(std::sscanf(line.c_str() + 24, "t%d n%d %n", &t, &n, &used), 2) << line;
    ASSERT_EQ(line.substr(24 + used), "\u2039name\u203A " + padding) << line;
    EXPECT_EQ(n, nextOf[t]) << "thread " << t;
    nextOf[t] = n + 1;
  }
  EXPECT_EQ(count, kThreads * kLinesPerThread);
}

}  // namespace
}  // namespace quimbel
