#pragma once

// Child processes for the crash tests: the test program runs itself with
// QUIMBEL_CRASH_CHILD naming what the child does before it ends (see
// crash_child.cpp), talking to the parent through its standard input and
// output.

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace quimbel::testing {

class CrashChild {
 public:
  // Starts this test program as a child doing `mode` with `folder`.
  CrashChild(const std::string& mode, const std::filesystem::path& folder);
  ~CrashChild();
  CrashChild(const CrashChild&) = delete;
  CrashChild& operator=(const CrashChild&) = delete;

  pid_t pid() const { return pid_; }
  // Reads one line the child printed ("ready").
  std::string readLine();
  // Closes the child's input, which a running child takes as its quit.
  void closeInput();
  // Waits for the child's end; the raw wait status.
  int wait();

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  bool reaped_ = false;
};

}  // namespace quimbel::testing
