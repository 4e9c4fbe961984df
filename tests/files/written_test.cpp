#include "files/written.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "base/random_id.h"
#include "files/scratch.h"

namespace quimbel {
namespace {

namespace fs = std::filesystem;

TEST(WrittenTest, TakeFoldersArePrivateToTheUserAndGoneAfterTheRunOrADay) {
  ScratchDir dir;
  const fs::path takes = dir.path() / "Quimbel" / "Takes";
  const Written first = makeTakeFolder();
  ASSERT_TRUE(first) << first.error;
  EXPECT_EQ(first.file->parent_path(), takes);
  const Written second = makeTakeFolder();
  ASSERT_TRUE(second);
  EXPECT_NE(*second.file, *first.file);
  for (const fs::path& folder : {takes, *first.file})
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all) << folder;

  // An earlier run's folder: kept while fresh, removed once older than a day.
  const fs::path earlier = takes / "EARLIER";
  fs::create_directory(earlier);
  std::ofstream(earlier / "my chords.wav") << "old";
  removeStaleTakeFolders(24 * 3600.0);
  EXPECT_TRUE(fs::exists(earlier));
  fs::last_write_time(earlier, fs::file_time_type::clock::now() - std::chrono::hours(25));
  removeStaleTakeFolders(24 * 3600.0);
  EXPECT_FALSE(fs::exists(earlier));

  removeThisRunsTakeFolders();
  EXPECT_TRUE(fs::is_empty(takes)) << "this run's folders go at quit";

  // A folder loosened by hand is tightened again.
  fs::permissions(takes, fs::perms::all);
  ASSERT_TRUE(makeTakeFolder());
  EXPECT_EQ(fs::status(takes).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST(WrittenTest, TakeFoldersAreNeverMadeThroughALinkOrInAnotherUsersFolder) {
  ScratchDir dir;
  fs::create_directories(dir.path() / "elsewhere" / "Takes");
  fs::create_symlink(dir.path() / "elsewhere", dir.path() / "Quimbel");
  const Written linked = makeTakeFolder();
  EXPECT_FALSE(linked);
  EXPECT_NE(linked.error.find("link"), std::string::npos) << linked.error;
  EXPECT_TRUE(fs::is_empty(dir.path() / "elsewhere" / "Takes"));

  fs::remove(dir.path() / "Quimbel");
  fs::create_directory(dir.path() / "Quimbel");
  fs::create_symlink(dir.path() / "elsewhere" / "Takes", dir.path() / "Quimbel" / "Takes");
  EXPECT_FALSE(makeTakeFolder());
  EXPECT_TRUE(fs::is_empty(dir.path() / "elsewhere" / "Takes"));

  // Another user's folder (root's, seen by anyone else; or nobody's when the
  // test runs as root) is refused.
  if (::geteuid() == 0) {
    fs::remove(dir.path() / "Quimbel" / "Takes");
    fs::create_directory(dir.path() / "Quimbel" / "Takes");
    ASSERT_EQ(::chown((dir.path() / "Quimbel" / "Takes").c_str(), 65534, 65534), 0);
    const Written foreign = makeTakeFolder();
    EXPECT_FALSE(foreign);
    EXPECT_NE(foreign.error.find("another user"), std::string::npos) << foreign.error;
  }
}

TEST(WrittenTest, ReplacesTheFileKeepingItsPermissionsAndLinksOrFailsLeavingTheDestinationAlone) {
  ScratchDir dir;
  const std::vector<std::uint8_t> bytes{'n', 'e', 'w'};
  const fs::path file = dir.path() / "my chords.mid";
  std::ofstream(file) << "old contents";
  const Written written = writeFileAside(file, bytes);
  ASSERT_TRUE(written) << written.error;
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

  // Saving over a file keeps its permissions.
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
  const Written linked = writeFileAside(dir.path() / "link.mid", bytes);
  ASSERT_TRUE(linked) << linked.error;
  EXPECT_EQ(*linked.file, dir.path() / "link.mid");
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.mid"));
  EXPECT_TRUE(fs::is_symlink(dir.path() / "middle.mid"));
  EXPECT_EQ(contents(real), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "synced"), {}), 1)
      << "nothing left aside next to the real file";
}

}  // namespace
}  // namespace quimbel
