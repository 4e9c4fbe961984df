#pragma once
// Counts every allocation and free while `counting` is set: malloc and its
// kin are replaced for the whole test program, and the default operator new
// and delete and any library loaded into it reach them too. Include it from
// exactly one file of a test program.

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
[[maybe_unused]] void note() { allocations += counting ? 1 : 0; }
// What the hooks count of a new and a delete (volatile: the pair cannot be
// elided): a test first checks that they see what they are meant to catch.
[[maybe_unused]] long countedNewAndDelete() {
  counting = true;
  int* volatile kept = new int(3);
  delete kept;
  counting = false;
  return allocations.exchange(0);
}
}  // namespace

// The sanitizers own the allocator: their builds only run the scenario, the
// count is taken in plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool countsAllocations = false;
#else
constexpr bool countsAllocations = true;
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
void* malloc(std::size_t size) { return note(), __libc_malloc(size); }
void* calloc(std::size_t k, std::size_t n) { return note(), __libc_calloc(k, n); }
void* realloc(void* p, std::size_t size) { return note(), __libc_realloc(p, size); }
void* aligned_alloc(std::size_t a, std::size_t n) { return note(), __libc_memalign(a, n); }
int posix_memalign(void** out, std::size_t a, std::size_t n) {
  return note(), *out = __libc_memalign(a, n), *out == nullptr ? ENOMEM : 0;
}
void free(void* p) { return p != nullptr ? note() : void(), __libc_free(p); }
}
#endif
