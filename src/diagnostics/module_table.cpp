#include "diagnostics/module_table.h"

#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "diagnostics/crash_payload.h"

namespace quimbel {
namespace diagnostics {
namespace {

// Two tables, so that a refresh never changes the one a handler may read.
LoadedModules moduleTables[2];
std::atomic<int> activeTable{-1};
std::mutex refreshMutex;

std::string fileNameOf(const char* path) {
  std::string_view text(path);
  const auto slash = text.rfind('/');
  return std::string(slash == std::string_view::npos ? text : text.substr(slash + 1));
}

std::string ownExecutableName() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "?";
  path[n] = '\0';
  return fileNameOf(path);
}

// The GNU build ID from a loaded object's note segments, as hex.
std::string buildIdOf(const dl_phdr_info& info) {
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info.dlpi_phdr[i];
    if (segment.p_type != PT_NOTE) continue;
    const std::size_t align = segment.p_align == 8 ? 8 : 4;
    const auto round = [align](std::size_t n) { return (n + align - 1) & ~(align - 1); };
    auto at = reinterpret_cast<const unsigned char*>(info.dlpi_addr + segment.p_vaddr);
    std::size_t left = segment.p_memsz;
    while (left >= sizeof(ElfW(Nhdr))) {
      ElfW(Nhdr) note;
      std::memcpy(&note, at, sizeof note);
      const std::size_t size = sizeof note + round(note.n_namesz) + round(note.n_descsz);
      if (size > left) break;
      const auto name = at + sizeof note;
      if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
          std::memcmp(name, "GNU", 4) == 0) {
        const auto desc = name + round(note.n_namesz);
        std::string hex;
        for (std::size_t b = 0; b < note.n_descsz && hex.size() < 40; ++b) {
          char pair[3];
          std::snprintf(pair, sizeof pair, "%02x", desc[b]);
          hex += pair;
        }
        return hex;
      }
      at += size;
      left -= size;
    }
  }
  return {};
}

struct Collecting {
  LoadedModules* table;
  const std::string* executable;
};

int collectModule(dl_phdr_info* info, std::size_t, void* data) {
  auto& collecting = *static_cast<Collecting*>(data);
  LoadedModules& table = *collecting.table;
  if (table.count >= kMaxModules) return 1;
  std::uintptr_t low = UINTPTR_MAX, high = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    low = std::min<std::uintptr_t>(low, info->dlpi_addr + segment.p_vaddr);
    high = std::max<std::uintptr_t>(high, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
  }
  if (low >= high) return 0;
  LoadedModule& module = table.modules[table.count++];
  module.start = low;
  module.end = high;
  module.bias = info->dlpi_addr;
  const bool main = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
  copyInto(module.name, jsonEscaped(main ? *collecting.executable : fileNameOf(info->dlpi_name)));
  copyInto(module.buildId, buildIdOf(*info));
  return 0;
}

}  // namespace

const LoadedModule* LoadedModules::find(std::uintptr_t address) const {
  for (int m = 0; m < count; ++m) {
    if (address >= modules[m].start && address < modules[m].end) return &modules[m];
  }
  return nullptr;
}

const LoadedModules* loadedModules() {
  const int table = activeTable.load(std::memory_order_acquire);
  return table >= 0 ? &moduleTables[table] : nullptr;
}

}  // namespace diagnostics

void refreshLoadedModules() {
  using namespace diagnostics;
  std::lock_guard lock(refreshMutex);
  const int next = activeTable.load(std::memory_order_relaxed) == 0 ? 1 : 0;
  static const std::string executable = ownExecutableName();
  LoadedModules& table = moduleTables[next];
  table.count = 0;
  Collecting collecting{&table, &executable};
  ::dl_iterate_phdr(collectModule, &collecting);
  activeTable.store(next, std::memory_order_release);
}

}  // namespace quimbel
