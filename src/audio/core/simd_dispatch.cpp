#include "audio/core/simd_dispatch.h"

#include <cstdlib>
#include <cstring>

namespace quimbel {

SimdLevel simdLevel() {
  static const SimdLevel level = [] {
    // QUIMBEL_SIMD=plain|avx2 caps the level, for comparing the builds.
    const char* cap = std::getenv("QUIMBEL_SIMD");
    const bool plainOnly = cap != nullptr && std::strcmp(cap, "plain") == 0;
    const bool upToAvx2 = cap != nullptr && std::strcmp(cap, "avx2") == 0;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (!plainOnly && !upToAvx2 && __builtin_cpu_supports("avx512f") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl"))
      return SimdLevel::Avx512;
    if (!plainOnly && __builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
#else
    (void)plainOnly;
    (void)upToAvx2;
#endif
    return SimdLevel::Plain;
  }();
  return level;
}

}  // namespace quimbel
