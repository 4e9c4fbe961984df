#pragma once

// Random names for files and reports: version 4 UUIDs and short hexadecimal
// tags, from the kernel's random source.

#include <cstddef>
#include <string>

namespace quimbel {

// A new random (version 4) UUID in its upper-case text form,
// "8-4-4-4-12" hexadecimal digits.
std::string newUuid();

// `bytes` random bytes as upper-case hexadecimal digits, two per byte.
std::string randomHex(std::size_t bytes);

}  // namespace quimbel
