#pragma once

// Where the instrument finds its piano, and the recordings shared by every
// instrument in the host's process.
//
// Thread contract: any thread but the audio thread (the host instantiates
// plugins on its main thread, sometimes on several threads at once).

#include <filesystem>
#include <memory>
#include <vector>

#include "audio/sample_bank.h"

namespace quimbel::plugin {

// The data folders to try, in order: $QUIMBEL_DATA_DIR alone when it is set;
// else the one beside the bundle (lib/lv2/quimbel.lv2 and share/quimbel sit
// under one prefix, installed and in the build tree alike), then the one of
// the prefix the plugin was installed to.
std::vector<std::filesystem::path> pianoFolderCandidates(const std::filesystem::path& bundle);

// The recordings of the folder, decoded once while any instrument holds
// them: a project's instruments share one copy. Empty when the folder holds
// no piano.
std::shared_ptr<const SampleLibrary> sharedPiano(const std::filesystem::path& folder);

}  // namespace quimbel::plugin
