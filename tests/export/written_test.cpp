#include "export/written.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "export/scratch.h"

namespace quimbel {
namespace {

namespace fs = std::filesystem;

const std::vector<std::uint8_t> kBytes{'n', 'e', 'w'};

std::vector<std::string> entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

TEST(WrittenTest, UuidsAndTakeFoldersAreFresh) {
  // 8-4-4-4-12 upper-case hexadecimal digits, version 4, variant 8 … B.
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string uuid = newUuid();
    ASSERT_EQ(uuid.size(), 36u);
    for (std::size_t k = 0; k < uuid.size(); ++k) {
      const bool dash = k == 8 || k == 13 || k == 18 || k == 23;
      EXPECT_NE(std::string(dash ? "-" : "0123456789ABCDEF").find(uuid[k]), std::string::npos)
          << uuid;
    }
    EXPECT_EQ(uuid[14], '4') << uuid;
    EXPECT_NE(std::string("89AB").find(uuid[19]), std::string::npos) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 200u);

  ScratchDir dir;
  const fs::path first = makeTakeFolder();
  EXPECT_EQ(first.parent_path(), dir.path() / "Takes");
  EXPECT_TRUE(fs::is_directory(first));
  EXPECT_NE(makeTakeFolder(), first);
}

TEST(WrittenTest, ReplacesTheFileOrFailsLeavingTheDestinationAlone) {
  ScratchDir dir;
  const fs::path file = dir.path() / "my chords.mid";
  std::ofstream(file) << "old contents";
  const Written written = writeFileAside(file, kBytes);
  ASSERT_TRUE(written) << written.error;
  EXPECT_EQ(*written.file, file);
  EXPECT_EQ(contents(file), "new");

  const Written missing = writeFileAside(dir.path() / "absent" / "out.mid", kBytes);
  EXPECT_FALSE(missing);
  EXPECT_NE(missing.error.find("out.mid"), std::string::npos) << missing.error;

  // A folder in the way: the rename fails and the folder and its file survive.
  const fs::path folder = dir.path() / "taken";
  fs::create_directory(folder);
  std::ofstream(folder / "inside") << "keep";
  const Written blocked = writeFileAside(folder, kBytes);
  EXPECT_FALSE(blocked);
  EXPECT_FALSE(blocked.error.empty());
  EXPECT_EQ(contents(folder / "inside"), "keep");
  // Nothing is left aside.
  auto names = entries(dir.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"my chords.mid", "taken"}));
}

}  // namespace
}  // namespace quimbel
