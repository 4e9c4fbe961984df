#pragma once

// The loaded libraries' address ranges and GNU build IDs, by which a crash or
// hang payload names the frames of its stack.
//
// Thread contract: refreshLoadedModules allocates and runs outside any signal
// handler, on any thread (refreshes take turns under a mutex). loadedModules
// and LoadedModules::find are async-signal-safe: there are two tables, and a
// refresh fills the one readers are not pointed at before it switches them
// over, so a handler never sees a table half written.

#include <cstdint>

namespace quimbel {

// Reads the loaded libraries' address ranges and build IDs again, for
// libraries loaded since the handlers were installed.
void refreshLoadedModules();

namespace diagnostics {

// Room for every library a desktop program loads, with plenty to spare.
constexpr int kMaxModules = 512;

struct LoadedModule {
  std::uintptr_t start;  // lowest loaded address
  std::uintptr_t end;    // one past the highest
  std::uintptr_t bias;   // what the loader added to the file's addresses
  char name[128];        // file name, JSON-escaped
  char buildId[41];      // GNU build ID in lower-case hex, or empty
};

struct LoadedModules {
  int count;
  LoadedModule modules[kMaxModules];

  // The module whose range holds `address`, or null.
  const LoadedModule* find(std::uintptr_t address) const;
};

// The table of the last refresh; null before the first.
const LoadedModules* loadedModules();

}  // namespace diagnostics
}  // namespace quimbel
