#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/log.h"
#include "diagnostics/temp_folder.h"

namespace quimbel {
namespace {

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
    const std::regex wholeLines(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [^\n]*\n)*)");
    while (writing.load()) {
      const std::string tail = log.tail(4096);
      EXPECT_TRUE(std::regex_match(tail, wholeLines)) << tail.substr(0, 200);
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
  const std::regex format(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} t(\d+) n(\d+) ‹name› -{60})");
  std::map<int, int> nextOf;
  int count = 0;
  for (std::string line; std::getline(all, line); ++count) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, format)) << line;
    const int t = std::stoi(match[1]);
    const int n = std::stoi(match[2]);
    EXPECT_EQ(n, nextOf[t]) << "thread " << t;
    nextOf[t] = n + 1;
  }
  EXPECT_EQ(count, kThreads * kLinesPerThread);
}

}  // namespace
}  // namespace quimbel
