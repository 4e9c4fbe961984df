#pragma once

namespace quimbel {

// The widest vector instruction set this processor offers, read once. Hot
// loops are built for each level and picked at start-up, so one portable
// program runs at full speed everywhere.
enum class SimdLevel { Plain, Avx2, Avx512 };

SimdLevel simdLevel();

}  // namespace quimbel
