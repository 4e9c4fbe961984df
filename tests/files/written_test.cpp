#include "files/written.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "base/random_id.h"
#include "files/scratch.h"

namespace quimbel {
namespace {

namespace fs = std::filesystem;

TEST(WrittenTest, UuidsAndTakeFoldersAreFresh) {
  // Upper-case hexadecimal digits, version 4, variant 8 … B.
  const std::string shape = "________-____-4___-v___-____________";
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string uuid = newUuid();
    ASSERT_EQ(uuid.size(), shape.size());
    for (std::size_t k = 0; k < uuid.size(); ++k) {
      const std::string allowed = shape[k] == '_'   ? "0123456789ABCDEF"
                                  : shape[k] == 'v' ? "89AB"
                                                    : std::string(1, shape[k]);
      EXPECT_NE(allowed.find(uuid[k]), std::string::npos) << uuid;
    }
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
  const std::vector<std::uint8_t> bytes{'n', 'e', 'w'};
  const fs::path file = dir.path() / "my chords.mid";
  std::ofstream(file) << "old contents";
  const Written written = writeFileAside(file, bytes);
  ASSERT_TRUE(written) << written.error;
  EXPECT_EQ(*written.file, file);
  EXPECT_EQ(contents(file), "new");

  const Written missing = writeFileAside(dir.path() / "absent" / "out.mid", bytes);
  EXPECT_FALSE(missing);
  EXPECT_NE(missing.error.find("out.mid"), std::string::npos) << missing.error;
  // A folder in the way: the rename fails and the folder and its file survive.
  const fs::path folder = dir.path() / "taken";
  fs::create_directory(folder);
  std::ofstream(folder / "inside") << "keep";
  const Written blocked = writeFileAside(folder, bytes);
  EXPECT_FALSE(blocked || blocked.error.empty());
  EXPECT_EQ(contents(folder / "inside"), "keep");
  // Nothing is left aside.
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path()))
    names.insert(entry.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"my chords.mid", "taken"}));
}

}  // namespace
}  // namespace quimbel
