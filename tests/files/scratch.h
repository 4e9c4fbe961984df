#pragma once
// The one scratch folder of every suite, and small file and process helpers.

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace quimbel {

// A fresh folder that stands in as XDG_CACHE_HOME (take folders go in its
// Quimbel/Takes) while it lives, and is removed with everything in it
// afterwards, even where a test took away its write permission.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quimbel-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    if (const char* previous = std::getenv("XDG_CACHE_HOME")) saved_ = previous;
    ::setenv("XDG_CACHE_HOME", path_.c_str(), 1);
  }
  ~ScratchDir() {
    if (saved_) {
      ::setenv("XDG_CACHE_HOME", saved_->c_str(), 1);
    } else {
      ::unsetenv("XDG_CACHE_HOME");
    }
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
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
