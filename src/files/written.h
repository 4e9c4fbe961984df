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

// The user's private folder for export scratch folders,
// $XDG_CACHE_HOME/Quimbel/Takes (else ~/.cache/Quimbel/Takes), made with
// mode 0700. Refused, with the reason in words, when it or its parent is a
// link or belongs to someone else: exports never go where another user can
// read or swap them.
Written takesFolder();

// A new folder <takes folder>/<new UUID>, remembered as this run's; or why
// there is none. Any thread.
Written makeTakeFolder();

// Removes the take folders this run made (at quit: the exports were handed
// over by then), and those older than `maxAgeSeconds` left by earlier runs
// (at start). Any thread; failures are left for the next start.
void removeThisRunsTakeFolders();
void removeStaleTakeFolders(double maxAgeSeconds);

// Writes the bytes beside `destination` under a hidden temporary name and
// renames that over `destination`; on any failure the temporary is removed
// and an existing file at `destination` is left untouched. A file saved over
// keeps its permissions; a link is written through to the file it names; the
// folder is synced after the rename.
Written writeFileAside(const std::filesystem::path& destination,
                       std::span<const std::uint8_t> bytes);

// The same for contents that `fill` writes into the open temporary file; it
// returns 0 or the errno value of what failed.
Written writeFileAside(const std::filesystem::path& destination,
                       const std::function<int(int fd)>& fill);

// Writes all of the bytes to a file descriptor: 0 or the errno value.
int writeAll(int fd, const void* bytes, std::size_t size);

}  // namespace quimbel
