#include "diagnostics/report.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "diagnostics/log.h"
#include "diagnostics/temp_folder.h"

namespace quimbel::diagnostics {
namespace {

// The shared log is made on first use: point it at a private folder before
// any test runs, whether or not the runner set QUIMBEL_TESTING.
testing::TempFolder& sharedFolder() {
  static testing::TempFolder folder;
  return folder;
}
const bool pointedAtTemp = setenv("QUIMBEL_DIAGNOSTICS_DIR", sharedFolder().path().c_str(), 1) == 0;

TEST(Report, LogLineReachesTheSharedLogRedactedTheConsoleAndLiveCaptures) {
  ASSERT_TRUE(pointedAtTemp);
  logLine("[test] before");
  LogCapture outer;
  ::testing::internal::CaptureStderr();
  logLine("[audio] opened /home/someone/x.caf");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Quimbel: [audio] opened /home/someone/x.caf\n");
  const std::string tail = DiagnosticsLog::shared().tail(4096);
  EXPECT_NE(tail.find(" [audio] opened ~/x.caf\n"), std::string::npos) << tail;
  EXPECT_EQ(DiagnosticsLog::shared().url(), sharedFolder().path() / "quimbel.log");
  {
    LogCapture inner;
    logLine("[test] two");
    EXPECT_EQ(inner.lines(), std::vector<std::string>{"[test] two"});
  }
  logLine("[test] three");  // only the innermost live capture sees a line
  EXPECT_EQ(outer.lines(),
            (std::vector<std::string>{"[audio] opened /home/someone/x.caf", "[test] three"}));
  EXPECT_TRUE(outer.contains("thr"));
  EXPECT_FALSE(outer.contains("before"));
}

}  // namespace
}  // namespace quimbel::diagnostics
