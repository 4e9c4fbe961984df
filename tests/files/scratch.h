#pragma once
// A scratch folder and small file and process helpers for the tests of
// written files: take folders, exports and the Save dialogs.

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace quimbel {

// A fresh folder that stands in as TMPDIR (where take folders go) while it
// lives, and is removed with everything in it afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quimbel-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    if (const char* previous = std::getenv("TMPDIR")) saved_ = previous;
    ::setenv("TMPDIR", path_.c_str(), 1);
  }
  ~ScratchDir() {
    if (saved_) {
      ::setenv("TMPDIR", saved_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::optional<std::string> saved_;
};

inline std::string contents(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The standard output of a shell command; nothing when `program` is not
// installed.
inline std::optional<std::string> runIfInstalled(const std::string& program,
                                                 const std::string& arguments) {
  if (std::system(("command -v " + program + " > /dev/null 2>&1").c_str()) != 0) return {};
  std::string output;
  if (FILE* pipe = ::popen((program + " " + arguments).c_str(), "r")) {
    char buffer[4096];
    while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, got);
    ::pclose(pipe);
  }
  return output;
}

}  // namespace quimbel
