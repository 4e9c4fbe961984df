#include "files/data_folder.h"

#include <cstdlib>
#include <system_error>

namespace quimbel {

std::filesystem::path dataFolder() {
  const char* env = std::getenv("QUIMBEL_DATA_DIR");
  if (env != nullptr && *env != '\0') return env;
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  // Without /proc the working directory's share folder is the best guess left.
  const std::filesystem::path bin = error ? std::filesystem::path(".") : exe.parent_path();
  return (bin / ".." / "share" / "quimbel").lexically_normal();
}

}  // namespace quimbel
