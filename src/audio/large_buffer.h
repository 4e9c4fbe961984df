#pragma once

// Large buffers written once from start to end (export channels, file
// images). Reserved with room to start on a huge-page boundary and advised
// before the first write, they cost the kernel a handful of page faults
// instead of one per 4 KiB page; small buffers are left alone.

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quimbel {

// `values` becomes `count` copies of `value`.
template <class T>
void assignLargeBuffer(std::vector<T>& values, std::size_t count, T value) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  if (count * sizeof(T) >= 2 * kHugePage) {
    values.reserve(count + kHugePage / sizeof(T));
    const auto first = reinterpret_cast<std::uintptr_t>(values.data());
    const std::uintptr_t start = (first + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (first + count * sizeof(T)) & ~(kHugePage - 1);
    // Only advice: without huge pages the buffer fills page by page.
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
  }
  values.assign(count, value);
}

}  // namespace quimbel
