#pragma once

// Writing export files: a fresh scratch folder per export, and files that are
// written aside and moved into place so that a failure never leaves a partial
// file where the user will look for it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace quimbel {

// The path of a written file, or what went wrong, in words for the user.
struct Written {
  std::optional<std::filesystem::path> file;
  std::string error;

  explicit operator bool() const { return file.has_value(); }
};

// A new folder <temporary directory>/Takes/<new UUID> ($TMPDIR, else /tmp).
// A failure to create it is not reported here: the write into it fails later.
std::filesystem::path makeTakeFolder();

// Writes the bytes beside `destination` under a hidden temporary name and
// renames that over `destination`; on any failure the temporary is removed
// and an existing file at `destination` is left untouched.
Written writeFileAside(const std::filesystem::path& destination,
                       std::span<const std::uint8_t> bytes);

// The same for contents that `fill` writes into the open temporary file; it
// returns 0 or the errno value of what failed.
Written writeFileAside(const std::filesystem::path& destination,
                       const std::function<int(int fd)>& fill);

// Writes all of the bytes to a file descriptor: 0 or the errno value.
int writeAll(int fd, const void* bytes, std::size_t size);

}  // namespace quimbel
