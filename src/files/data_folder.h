#pragma once

#include <filesystem>

namespace quimbel {

// The folder of the program's shipped resources (the piano, the font, the
// icon): $QUIMBEL_DATA_DIR when set and not empty, else <exe dir>/../share/quimbel.
// The path is not checked for existence.
std::filesystem::path dataFolder();

}  // namespace quimbel
