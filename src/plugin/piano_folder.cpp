#include "plugin/piano_folder.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <system_error>

namespace quimbel::plugin {

std::vector<std::filesystem::path> pianoFolderCandidates(const std::filesystem::path& bundle) {
  const char* env = std::getenv("QUIMBEL_DATA_DIR");
  if (env != nullptr && *env != '\0') return {env};
  // A bundle reached through a link (~/.lv2/quimbel.lv2) finds the data of
  // the tree it really lives in.
  std::error_code error;
  std::filesystem::path real = std::filesystem::weakly_canonical(bundle, error);
  if (error) real = bundle;
  return {(real / ".." / ".." / ".." / "share" / "quimbel").lexically_normal(),
          std::filesystem::path(QUIMBEL_INSTALL_DATA_DIR)};
}

std::shared_ptr<const SampleLibrary> sharedPiano(const std::filesystem::path& folder) {
  static std::mutex mutex;
  static std::map<std::filesystem::path, std::weak_ptr<const SampleLibrary>> loaded;
  std::lock_guard lock(mutex);
  std::weak_ptr<const SampleLibrary>& entry = loaded[folder];
  if (auto library = entry.lock()) return library;
  auto library = std::make_shared<const SampleLibrary>(loadSampleLibrary(folder));
  entry = library;
  return library;
}

}  // namespace quimbel::plugin
