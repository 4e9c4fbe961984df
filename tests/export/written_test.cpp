#include "export/written.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace quimbel {
namespace {

namespace fs = std::filesystem;

class WrittenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quimbel-test-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  static std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  fs::path dir_;
};

const std::vector<std::uint8_t> kBytes{'n', 'e', 'w'};

TEST_F(WrittenTest, UuidsAreVersionFourUpperCaseAndFresh) {
  // 8-4-4-4-12 upper-case hexadecimal digits, version 4, variant 8 … B.
  auto wellFormed = [](const std::string& uuid) {
    if (uuid.size() != 36 || uuid[14] != '4') return false;
    if (std::string("89AB").find(uuid[19]) == std::string::npos) return false;
    for (std::size_t i = 0; i < uuid.size(); ++i) {
      const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
      const char c = uuid[i];
      if (dash != (c == '-')) return false;
      if (!dash && !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
  };
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string uuid = newUuid();
    EXPECT_TRUE(wellFormed(uuid)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST_F(WrittenTest, TakeFoldersAreNewFoldersUnderTmpdir) {
  const char* previous = std::getenv("TMPDIR");
  const std::string saved = previous ? previous : "";
  ::setenv("TMPDIR", dir_.c_str(), 1);
  const fs::path first = makeTakeFolder();
  const fs::path second = makeTakeFolder();
  if (previous) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  EXPECT_EQ(first.parent_path(), dir_ / "Takes");
  EXPECT_NE(first, second);
  EXPECT_TRUE(fs::is_directory(first));
  EXPECT_TRUE(fs::is_directory(second));
}

TEST_F(WrittenTest, ReplacesAnExistingFileAndLeavesNothingAside) {
  const fs::path file = dir_ / "my chords.mid";
  std::ofstream(file) << "old contents";
  const Written written = writeFileAside(file, kBytes);
  ASSERT_TRUE(written) << written.error;
  EXPECT_EQ(*written.file, file);
  EXPECT_EQ(contents(file), "new");
  EXPECT_EQ(entries(), std::vector<std::string>{"my chords.mid"});
}

TEST_F(WrittenTest, FailuresSayWhereAndLeaveTheDestinationAlone) {
  const Written missing = writeFileAside(dir_ / "absent" / "out.mid", kBytes);
  EXPECT_FALSE(missing);
  EXPECT_NE(missing.error.find("out.mid"), std::string::npos) << missing.error;

  // A folder in the way: the rename fails and the folder and its file survive.
  const fs::path folder = dir_ / "taken";
  fs::create_directory(folder);
  std::ofstream(folder / "inside") << "keep";
  const Written blocked = writeFileAside(folder, kBytes);
  EXPECT_FALSE(blocked);
  EXPECT_FALSE(blocked.error.empty());
  EXPECT_EQ(contents(folder / "inside"), "keep");
  EXPECT_EQ(entries(), std::vector<std::string>{"taken"});
}

}  // namespace
}  // namespace quimbel
