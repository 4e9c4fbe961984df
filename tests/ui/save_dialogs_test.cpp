#include "app/save_dialogs.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include "files/scratch.h"

namespace quimbel {
namespace {

namespace fs = std::filesystem;

// The process may write files only up to `bytes` while it lives: a write
// past that fails with EFBIG half-way through a copy (the signal that would
// end the process instead stays ignored for the rest of this test program).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

TEST(SaveDialogsTest, ACopyThatFailsMidwayLeavesNoFileAndKeepsWhatWasThere) {
  ScratchDir scratch;
  const fs::path take = scratch.path() / "Quimbel take.mp4";
  const std::string video(1 << 20, 'v');
  std::ofstream(take, std::ios::binary) << video;

  const fs::path fresh = scratch.path() / "new.mp4";
  const fs::path existing = scratch.path() / "old.mp4";
  std::ofstream(existing, std::ios::binary) << "the user's earlier file";
  for (const fs::path& destination : {fresh, existing}) {
    const std::string before = contents(destination);  // "" when there is none
    Written copied;
    {
      FileSizeLimit limit(200 * 1024);
      copied = copyFileAside(take, destination);
    }
    EXPECT_FALSE(copied) << destination;
    EXPECT_NE(copied.error.find("too large"), std::string::npos) << copied.error;
    EXPECT_EQ(contents(destination), before) << destination;
  }
  // Nothing half-written is left beside them either.
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), fs::directory_iterator()), 2);

  ASSERT_TRUE(copyFileAside(take, existing));
  EXPECT_EQ(contents(existing), video);
}

}  // namespace
}  // namespace quimbel
