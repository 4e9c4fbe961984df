#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
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

// True for a line "yyyy-MM-dd HH:mm:ss.SSS …".
bool stamped(std::string_view line) {
  constexpr std::string_view shape = "dddd-dd-dd dd:dd:dd.ddd ";
  if (line.size() < shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i)
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
      return false;
  return true;
}

// Text made only of whole time-stamped lines.
bool wholeLines(const std::string& text) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (!stamped(line)) return false;
  return text.empty() || text.back() == '\n';
}

// Many threads write at once while another reads the tail: every line lands
// whole, none is lost across a rotation, and each thread's lines keep their
// order.
TEST(DiagnosticsLogConcurrency, EveryLineLandsWholeAndInOrder) {
  testing::TempFolder temp;
  DiagnosticsLog log(DiagnosticsStore{temp.path()}, Redaction({"Lovelace"}));
  constexpr int kThreads = 8, kLinesPerThread = 400;
  const std::string padding(60, '-');  // about 100 bytes a line: exactly one rotation

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
      for (int n = 0; n < kLinesPerThread; ++n)
        log.write("t" + std::to_string(t) + " n" + std::to_string(n) + " Lovelace " + padding);
    });
  }
  for (auto& writer : writers) writer.join();
  writing = false;
  reader.join();

  ASSERT_TRUE(std::filesystem::exists(log.previousURL()));
  std::ostringstream files;
  files << std::ifstream(log.previousURL()).rdbuf() << std::ifstream(log.url()).rdbuf();
  std::istringstream all(files.str());
  std::map<int, int> nextOf;
  int count = 0;
  for (std::string line; std::getline(all, line); ++count) {
    int t = -1, n = -1, used = 0;
    ASSERT_TRUE(stamped(line)) << line;
    ASSERT_EQ(std::sscanf(line.c_str() + 24, "t%d n%d %n", &t, &n, &used), 2) << line;
    ASSERT_EQ(line.substr(24 + used), "\u2039name\u203A " + padding) << line;
    EXPECT_EQ(n, nextOf[t]++) << "thread " << t;
  }
  EXPECT_EQ(count, kThreads * kLinesPerThread);
}

}  // namespace
}  // namespace quimbel
