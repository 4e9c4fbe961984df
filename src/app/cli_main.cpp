#include "app/cli.h"

#include <cstdio>
#include <string>

namespace quimbel::cli {

int usageError(std::string_view where, std::string_view what) {
  std::fprintf(stderr, "quimbel: %.*s: %.*s\n", static_cast<int>(where.size()), where.data(),
               static_cast<int>(what.size()), what.data());
  return 2;
}

}  // namespace quimbel::cli
