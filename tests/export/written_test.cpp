#include "export/written.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "export/scratch.h"

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

TEST(WrittenTest, SavingOverAFileKeepsItsPermissionsAndWritesThroughLinks) {
  ScratchDir dir;
  const std::vector<std::uint8_t> bytes{'n', 'e', 'w'};
  const fs::path shared = dir.path() / "shared.wav";
  std::ofstream(shared) << "old";
  fs::permissions(shared, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(writeFileAside(shared, bytes));
  EXPECT_EQ(fs::status(shared).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  // A link, through a second link in another folder, to the real file.
  fs::create_directory(dir.path() / "synced");
  const fs::path real = dir.path() / "synced" / "take.mid";
  std::ofstream(real) << "old";
  fs::create_symlink("synced/take.mid", dir.path() / "middle.mid");
  fs::create_symlink(dir.path() / "middle.mid", dir.path() / "link.mid");
  const Written written = writeFileAside(dir.path() / "link.mid", bytes);
  ASSERT_TRUE(written) << written.error;
  EXPECT_EQ(*written.file, dir.path() / "link.mid");
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.mid"));
  EXPECT_TRUE(fs::is_symlink(dir.path() / "middle.mid"));
  EXPECT_EQ(contents(real), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "synced"), {}), 1)
      << "nothing left aside next to the real file";
}

}  // namespace
}  // namespace quimbel
