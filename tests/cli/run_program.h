#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "files/scratch.h"

namespace quimbel::testing {

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs the built program with `args` (no shell in between) and files no
// larger than `fileLimit` bytes; a write past the limit fails instead of
// killing the program.
inline Outcome runQuimbel(std::vector<std::string> args, rlim_t fileLimit = RLIM_INFINITY) {
  const std::string base = ::testing::TempDir() + "quimbel_run_" + std::to_string(getpid());
  args.insert(args.begin(), QUIMBEL_EXE);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(::open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(::open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{fileLimit, fileLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int raw = 0;
  waitpid(child, &raw, 0);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, contents(base + ".out"), contents(base + ".err")};
}

}  // namespace quimbel::testing
